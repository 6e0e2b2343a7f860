#pragma once
// The state pictures (32 x 16, grey background with a coloured mark carrying a symbol) and the two button icons,
// as pixel data the front ends draw.
#include <array>
#include <cstdint>

#include "session/line_events.h"  // the picture kinds

constexpr int PICTURE_WIDTH = 32;
constexpr int PICTURE_HEIGHT = 16;
constexpr int ICON_SIZE = 16;

// Pixels as 0xAARRGGBB, row by row.
using PicturePixels = std::array<uint32_t, PICTURE_WIDTH * PICTURE_HEIGHT>;
using IconPixels = std::array<uint32_t, ICON_SIZE * ICON_SIZE>;

constexpr uint32_t PICTURE_BACKGROUND = 0xFFC0C0C0;

// The colour of a kind's mark (kinds outside 0..4 give the offline colour).
uint32_t PictureMarkColour(int kind);
// The bitmap resource id of a kind: 151, 152, 150, 149, 160 (others: 160).
int PictureBitmapId(int kind);
// The picture of a kind: the mark in its colour with the kind's symbol on it.
PicturePixels MakePicture(int kind);
// The symbol of a kind (kinds outside 0..4 give the offline one): 8 rows of 8, '#' drawn, drawn
// at (PICTURE_SYMBOL_X, PICTURE_SYMBOL_Y) in black or white, whichever stands out from the mark.
constexpr int PICTURE_SYMBOL_SIZE = 8;
constexpr int PICTURE_SYMBOL_X = 7;
constexpr int PICTURE_SYMBOL_Y = 4;
const char* const* PictureSymbol(int kind);
// Icons 140 (Download) and 141 ("！"); any other id gives a transparent icon.
IconPixels MakeIcon(int resourceId);
