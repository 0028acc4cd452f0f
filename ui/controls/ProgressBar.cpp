#include "ui/controls/ProgressBar.h"

#include "ui/controls/Handles.h"

#include <algorithm>

std::int64_t ProgressFillWidth(std::int32_t min, std::int32_t max, std::int32_t position, int width) {
    if (position <= min || max == min) return 0;
    // Exact integer arithmetic: no floating rounding decides a pixel.
    const std::int64_t num = (static_cast<std::int64_t>(position) - min) * width;
    const std::int64_t den = max > min ? static_cast<std::int64_t>(max) - min : static_cast<std::int64_t>(min) - max;
    std::int64_t q = num / den;
    const std::int64_t twice = 2 * (num % den);
    if (twice > den || (twice == den && q % 2 != 0)) ++q;
    return q;
}

TALProgressBar::TALProgressBar(TForm& owner, int left, int top, int width, int height, bool visible,
                               std::shared_ptr<TPicture> bar, COLORREF backColor, std::int32_t position)
    : TControl(owner, left, top, width, height, visible),
      bar_(std::move(bar)),
      backColor_(backColor),
      position_(position) {}

std::int64_t TALProgressBar::FillWidth() const { return ProgressFillWidth(min_, max_, position_, Width()); }

void TALProgressBar::SetMax(std::int32_t value) {
    const std::int64_t before = FillWidth();
    max_ = value;
    if (Visible() && FillWidth() != before) Repaint();
}

void TALProgressBar::SetPosition(std::int32_t value) {
    if (value == position_ || value > max_ || value < min_) return;
    const std::int64_t before = FillWidth();
    position_ = value;
    // Downloads report every block: redraw only when a pixel changes.
    if (Visible() && FillWidth() != before) Repaint();
}

void TALProgressBar::Paint(HDC dc) const {
    const std::int64_t fill = std::min<std::int64_t>(FillWidth(), Width());
    const int split = Left() + static_cast<int>(fill);
    if (fill > 0 && bar_) {
        const RECT filled{Left(), Top(), split, Top() + Height()};
        for (int y = Top(); y < Top() + Height(); y += bar_->Height())
            for (int x = Left(); x < split; x += bar_->Width()) bar_->Draw(dc, x, y, filled);
    }
    if (split < Left() + Width()) {
        const RECT rest{split, Top(), Left() + Width(), Top() + Height()};
        TBrushHandle brush(CreateSolidBrush(backColor_));
        FillRect(dc, &rest, brush.Get());
    }
}

bool TALProgressBar::CoversOpaquely(const RECT& area) const {
    const RECT& bounds = BoundsRect();
    const bool inside = area.left >= bounds.left && area.top >= bounds.top && area.right <= bounds.right &&
                        area.bottom <= bounds.bottom && area.left < area.right && area.top < area.bottom;
    return inside && (FillWidth() <= 0 || (bar_ && bar_->Opaque()));
}
