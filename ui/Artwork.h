// The launcher's artwork (the pictures of the layout, drawn at build time
// by art/draw_art.py and linked as resources) and the window's outline cut
// from its background.
#pragma once

#include "ui/controls/Handles.h"
#include "ui/controls/Picture.h"

#include <cstdint>
#include <memory>

// The pictures of the layout, decoded once per window.
struct TArtwork {
    TArtwork();
    std::shared_ptr<TPicture> Background, Frame, Trough, BarTotal, BarFile, Skull, Notice;
    std::shared_ptr<TPicture> CheckNormal, CheckHover, CheckDown;
    std::shared_ptr<TPicture> PlayNormal, PlayHover, PlayDown;
    std::shared_ptr<TPicture> ExitNormal, ExitDown, MinNormal, MinDown;
    std::shared_ptr<TPicture> WebNormal, WebDown, ForumNormal, ForumDown;
    std::shared_ptr<TPicture> MenuRestore, MenuMinimise, MenuClose;
    TIconHandle Icon, SmallIcon;
};

// The region of a picture less every pixel of the key colour, the colour of
// its pixel (0,0). Built from the runs of each row, which gives the same
// region as cutting the key-coloured pixels one by one.
TRegionHandle CreateOutlineRegion(const std::uint32_t* pixels, int width, int height);
