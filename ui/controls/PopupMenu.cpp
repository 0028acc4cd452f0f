#include "ui/controls/PopupMenu.h"

#include "platform/errors.h"

namespace {

// Width of the picture column: the menu pictures are 24 x 24.
constexpr UINT kPictureSlot = 24;

}  // namespace

TMenuItem::TMenuItem(HMENU menu, unsigned id, std::wstring caption, std::shared_ptr<TPicture> bitmap)
    : menu_(menu), id_(id), caption_(std::move(caption)), bitmap_(std::move(bitmap)) {
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_STRING | MIIM_STATE;
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

void TMenuItem::SetEnabled(bool enabled) {
    enabled_ = enabled;
    EnableMenuItem(menu_, id_, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

TPopupMenu::TPopupMenu() : menu_(CreatePopupMenu()) {
    if (!menu_) throw Exception("No se pudo crear el menu");
}

TMenuItem& TPopupMenu::Add(const std::wstring& caption, std::shared_ptr<TPicture> bitmap) {
    items_.push_back(std::make_unique<TMenuItem>(menu_.Get(), nextId_++, caption, std::move(bitmap)));
    return *items_.back();
}

void TPopupMenu::AddSeparator() { AppendMenuW(menu_.Get(), MF_SEPARATOR, 0, nullptr); }

void TPopupMenu::Popup(int x, int y, HWND owner) {
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu_.Get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, x, y, 0, owner, nullptr));
    if (chosen) Choose(chosen);
}

void TPopupMenu::Choose(unsigned id) {
    if (TMenuItem* item = Find(id); item && item->Enabled() && item->OnClick) item->OnClick();
}

TMenuItem* TPopupMenu::Find(unsigned id) const {
    for (const auto& item : items_)
        if (item->Id() == id) return item.get();
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
