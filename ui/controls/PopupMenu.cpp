#include "ui/controls/PopupMenu.h"

#include "platform/errors.h"

TMenuItem::TMenuItem(HMENU menu, unsigned id, std::wstring caption, std::shared_ptr<TPicture> bitmap)
    : menu_(menu), id_(id), caption_(std::move(caption)), bitmap_(std::move(bitmap)) {
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_STRING | MIIM_STATE;
    info.wID = id_;
    info.dwTypeData = caption_.data();
    info.fState = MFS_ENABLED;
    if (bitmap_) {
        // A 32-bit premultiplied bitmap: the menu draws it with its alpha.
        info.fMask |= MIIM_BITMAP;
        info.hbmpItem = bitmap_->Handle();
    }
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
    for (const auto& item : items_) {
        if (item->Id() == id) {
            if (item->Enabled() && item->OnClick) item->OnClick();
            return;
        }
    }
}
