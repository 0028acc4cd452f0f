// A popup menu: items with a caption, an optional picture (alpha respected),
// separators, an enabled and a checked state, and submenus; a disabled item
// is greyed and cannot be chosen.
#pragma once

#include "ui/controls/Handles.h"
#include "ui/controls/Picture.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TMenuItem {
public:
    // submenu: the menu that opens from this item (null for a command).
    TMenuItem(HMENU menu, unsigned id, std::wstring caption, std::shared_ptr<TPicture> bitmap, HMENU submenu = nullptr);

    unsigned Id() const { return id_; }
    const std::wstring& Caption() const { return caption_; }
    void SetCaption(const std::wstring& caption);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    // Checked items show a round mark: they are the choice of a group.
    bool Checked() const { return checked_; }
    void SetChecked(bool checked);
    const std::shared_ptr<TPicture>& Bitmap() const { return bitmap_; }

    std::function<void()> OnClick;

private:
    HMENU menu_;
    unsigned id_;
    std::wstring caption_;
    std::shared_ptr<TPicture> bitmap_;
    bool enabled_ = true;
    bool checked_ = false;
};

class TPopupMenu {
public:
    TPopupMenu();
    TPopupMenu(const TPopupMenu&) = delete;
    TPopupMenu& operator=(const TPopupMenu&) = delete;

    TMenuItem& Add(const std::wstring& caption, std::shared_ptr<TPicture> bitmap = nullptr);
    void AddSeparator();
    // Removes every item of a menu without submenus (a list made again
    // each time what it offers changes). Ids are never given twice.
    void Clear();
    // An item that opens a submenu, and that submenu. Its items' ids are
    // unique across the whole menu, so choosing one of them from the top
    // menu (Popup, Choose) runs its OnClick.
    TPopupMenu& AddSubmenu(const std::wstring& caption, TMenuItem** item = nullptr);
    HMENU Handle() const { return handle_; }

    // Opens the menu at a screen point for the owner window and runs the
    // chosen item's OnClick.
    void Popup(int x, int y, HWND owner);
    // Runs the OnClick of the item with that id, if it is enabled.
    void Choose(unsigned id);
    // The item with that id, in this menu or a submenu, or null.
    TMenuItem* Find(unsigned id) const;

    // For the window that owns the open menu: measures and draws the item
    // pictures (WM_MEASUREITEM, WM_DRAWITEM). True when the message was one
    // of theirs.
    bool OwnerMessage(UINT message, LPARAM lParam) const;

private:
    // A submenu: its handle belongs to the item that opens it, and it takes
    // its ids from the top menu.
    TPopupMenu(HMENU handle, unsigned* nextId);

    TMenuHandle owned_;  // the top menu only: destroying it destroys its submenus
    HMENU handle_;
    std::vector<std::unique_ptr<TMenuItem>> items_;
    std::vector<std::unique_ptr<TPopupMenu>> submenus_;
    unsigned firstId_ = 100;
    unsigned* nextId_;
};
