#pragma once
// Window positions and sizes are kept in twips (1/1440 inch): 15 twips are one pixel at 96 dpi.
namespace twips {

inline constexpr int kTwipsPerPixel = 15;

// Whole pixels of a built-in layout value.
constexpr int px(int twips) {
    return twips / kTwipsPerPixel;
}

} // namespace twips
