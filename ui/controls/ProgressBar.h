// A progress bar drawn from a bitmap: the filled part shows the bar bitmap
// tiled from the top-left corner, the rest the background colour.
#pragma once

#include "ui/controls/Control.h"
#include "ui/controls/Picture.h"

#include <cstdint>
#include <memory>

class TALProgressBar : public TControl {
public:
    TALProgressBar(TForm& owner, int left, int top, int width, int height, bool visible, std::shared_ptr<TPicture> bar,
                   COLORREF backColor, std::int32_t position);

    std::int32_t Min() const { return min_; }
    std::int32_t Max() const { return max_; }
    std::int32_t Position() const { return position_; }
    // Stored without any check; the bar is redrawn.
    void SetMax(std::int32_t value);
    // Taken only when it differs from the position and lies within
    // [Min, Max]; otherwise ignored. A taken position is drawn at once.
    void SetPosition(std::int32_t value);

    // Pixels from the left edge that show the bar bitmap; may exceed the
    // width after the maximum was lowered below the position.
    std::int64_t FillWidth() const;

    void Paint(HDC dc) const override;
    // The whole bar is drawn: tiles of an opaque bitmap and a solid colour.
    bool CoversOpaquely(const RECT& area) const override;

private:
    std::shared_ptr<TPicture> bar_;
    COLORREF backColor_;
    std::int32_t min_ = 0;
    std::int32_t max_ = 100;
    std::int32_t position_;
};

// (position - min) / |max - min| * width, rounded to the closer whole
// pixel, a half to the even one; 0 when position <= min or max == min.
std::int64_t ProgressFillWidth(std::int32_t min, std::int32_t max, std::int32_t position, int width);
