// A popup menu: items with a caption, an optional picture (alpha respected),
// separators and an enabled state; a disabled item is greyed and cannot be
// chosen.
#pragma once

#include "ui/controls/Handles.h"
#include "ui/controls/Picture.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TMenuItem {
public:
    TMenuItem(HMENU menu, unsigned id, std::wstring caption, std::shared_ptr<TPicture> bitmap);

    unsigned Id() const { return id_; }
    const std::wstring& Caption() const { return caption_; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    const std::shared_ptr<TPicture>& Bitmap() const { return bitmap_; }

    std::function<void()> OnClick;

private:
    HMENU menu_;
    unsigned id_;
    std::wstring caption_;
    std::shared_ptr<TPicture> bitmap_;
    bool enabled_ = true;
};

class TPopupMenu {
public:
    TPopupMenu();

    TMenuItem& Add(const std::wstring& caption, std::shared_ptr<TPicture> bitmap = nullptr);
    void AddSeparator();
    HMENU Handle() const { return menu_.Get(); }

    // Opens the menu at a screen point for the owner window and runs the
    // chosen item's OnClick.
    void Popup(int x, int y, HWND owner);
    // Runs the OnClick of the item with that id, if it is enabled.
    void Choose(unsigned id);
    // The item with that id, or null.
    TMenuItem* Find(unsigned id) const;

    // For the window that owns the open menu: measures and draws the item
    // pictures (WM_MEASUREITEM, WM_DRAWITEM). True when the message was one
    // of theirs.
    bool OwnerMessage(UINT message, LPARAM lParam) const;

private:
    TMenuHandle menu_;
    std::vector<std::unique_ptr<TMenuItem>> items_;
    unsigned nextId_ = 100;
};
