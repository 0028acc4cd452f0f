#include "ui/controls/PopupMenu.h"

#include "platform/errors.h"

#include <functional>

namespace {

// Width of the picture column: the menu pictures are 24 x 24.
constexpr UINT kPictureSlot = 24;

}  // namespace

TMenuItem::TMenuItem(HMENU menu, unsigned id, std::wstring caption, std::shared_ptr<TPicture> bitmap, HMENU submenu)
    : menu_(menu), id_(id), caption_(std::move(caption)), bitmap_(std::move(bitmap)) {
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_STRING | MIIM_STATE | MIIM_FTYPE;
    // A check shows as a round mark, the mark of a choice among several.
    info.fType = MFT_RADIOCHECK;
    if (submenu) {
        info.fMask |= MIIM_SUBMENU;
        info.hSubMenu = submenu;
    }
    info.wID = id_;
    info.dwTypeData = caption_.data();
    info.fState = MFS_ENABLED;
    // The owner window draws the picture over the item's own background
    // (plain or highlighted), so its ground colour stays transparent wherever
    // menus don't blend bitmaps with alpha themselves. Items without a
    // picture keep an empty slot of the same width, so that every menu lays
    // out the captions in one column and counts it in its width.
    info.fMask |= MIIM_DATA | MIIM_BITMAP;
    info.dwItemData = id_;
    info.hbmpItem = HBMMENU_CALLBACK;
    InsertMenuItemW(menu_, GetMenuItemCount(menu_), TRUE, &info);
}

void TMenuItem::SetCaption(const std::wstring& caption) {
    caption_ = caption;
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_STRING;
    info.dwTypeData = caption_.data();
    SetMenuItemInfoW(menu_, id_, FALSE, &info);
}

void TMenuItem::SetEnabled(bool enabled) {
    enabled_ = enabled;
    EnableMenuItem(menu_, id_, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

void TMenuItem::SetChecked(bool checked) {
    checked_ = checked;
    CheckMenuItem(menu_, id_, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

TPopupMenu::TPopupMenu() : owned_(CreatePopupMenu()), handle_(owned_.Get()), nextId_(&firstId_) {
    if (!owned_) throw Exception("No se pudo crear el menu");
}

TPopupMenu::TPopupMenu(HMENU handle, unsigned* nextId) : handle_(handle), nextId_(nextId) {}

TMenuItem& TPopupMenu::Add(const std::wstring& caption, std::shared_ptr<TPicture> bitmap) {
    items_.push_back(std::make_unique<TMenuItem>(handle_, (*nextId_)++, caption, std::move(bitmap)));
    return *items_.back();
}

void TPopupMenu::AddSeparator() { AppendMenuW(handle_, MF_SEPARATOR, 0, nullptr); }

void TPopupMenu::Clear() {
    if (!submenus_.empty()) throw Exception("a menu with submenus is not cleared");
    while (GetMenuItemCount(handle_) > 0) DeleteMenu(handle_, 0, MF_BYPOSITION);
    items_.clear();
}

TPopupMenu& TPopupMenu::AddSubmenu(const std::wstring& caption, TMenuItem** item) {
    TMenuHandle submenu(CreatePopupMenu());
    if (!submenu) throw Exception("No se pudo crear el menu");
    items_.push_back(std::make_unique<TMenuItem>(handle_, (*nextId_)++, caption, nullptr, submenu.Get()));
    if (item) *item = items_.back().get();
    // The item holds the submenu now: it is destroyed with this menu.
    submenus_.push_back(std::unique_ptr<TPopupMenu>(new TPopupMenu(submenu.Release(), nextId_)));
    return *submenus_.back();
}

void TPopupMenu::Popup(int x, int y, HWND owner) {
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(handle_, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, x, y, 0, owner, nullptr));
    if (chosen) Choose(chosen);
}

void TPopupMenu::Choose(unsigned id) {
    if (TMenuItem* item = Find(id); item && item->Enabled() && item->OnClick) {
        // A copy: the handler may clear the menu that holds its item.
        const std::function<void()> click = item->OnClick;
        click();
    }
}

TMenuItem* TPopupMenu::Find(unsigned id) const {
    for (const auto& item : items_)
        if (item->Id() == id) return item.get();
    for (const auto& submenu : submenus_)
        if (TMenuItem* item = submenu->Find(id)) return item;
    return nullptr;
}

bool TPopupMenu::OwnerMessage(UINT message, LPARAM lParam) const {
    if (message == WM_MEASUREITEM) {
        auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        if (measure->CtlType != ODT_MENU) return false;
        const TMenuItem* item = Find(static_cast<unsigned>(measure->itemData));
        if (!item) return false;
        measure->itemWidth = kPictureSlot;
        measure->itemHeight = item->Bitmap() ? static_cast<UINT>(item->Bitmap()->Height()) : 0;
        return true;
    }
    if (message == WM_DRAWITEM) {
        auto* draw = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        if (draw->CtlType != ODT_MENU) return false;
        const TMenuItem* item = Find(static_cast<unsigned>(draw->itemData));
        if (!item) return false;
        if (!item->Bitmap()) return true;
        const TPicture& picture = *item->Bitmap();
        const RECT& r = draw->rcItem;
        const int x = r.left + (r.right - r.left - picture.Width()) / 2;
        const int y = r.top + (r.bottom - r.top - picture.Height()) / 2;
        picture.Draw(draw->hDC, x, y, r);
        return true;
    }
    return false;
}
