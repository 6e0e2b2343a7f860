#include "form/pictures.h"

uint32_t PictureMarkColour(int kind) {
    switch (kind) {
        case PIC_READY: return 0xFF006400;    // dark green
        case PIC_RUNNING: return 0xFFFF00FF;  // magenta
        case PIC_PASS: return 0xFF00FF00;     // green
        case PIC_FAIL: return 0xFFFF0000;     // red
        default: return 0xFF8B0000;           // dark red
    }
}

int PictureBitmapId(int kind) {
    switch (kind) {
        case PIC_READY: return 151;
        case PIC_RUNNING: return 152;
        case PIC_PASS: return 150;
        case PIC_FAIL: return 149;
        default: return 160;
    }
}

PicturePixels MakePicture(int kind) {
    PicturePixels px;
    px.fill(PICTURE_BACKGROUND);
    const uint32_t mark = PictureMarkColour(kind);
    // A dark frame and a rounded bar in the middle in the kind's colour.
    for (int x = 0; x < PICTURE_WIDTH; ++x) {
        px[x] = 0xFF808080;
        px[(PICTURE_HEIGHT - 1) * PICTURE_WIDTH + x] = 0xFFFFFFFF;
    }
    for (int y = 0; y < PICTURE_HEIGHT; ++y) {
        px[y * PICTURE_WIDTH] = 0xFF808080;
        px[y * PICTURE_WIDTH + PICTURE_WIDTH - 1] = 0xFFFFFFFF;
    }
    for (int y = 3; y <= 12; ++y) {
        for (int x = 4; x <= 27; ++x) {
            const bool corner = (y == 3 || y == 12) && (x == 4 || x == 27);
            if (!corner) px[y * PICTURE_WIDTH + x] = mark;
        }
    }
    // The kind's symbol at the bar's left end, so the kinds read without telling the colours
    // apart: black on the light marks, white on the dark ones.
    const char* const* symbol = PictureSymbol(kind);
    const uint32_t r = (mark >> 16) & 0xFF, g = (mark >> 8) & 0xFF, b = mark & 0xFF;
    const uint32_t ink = (r * 299 + g * 587 + b * 114) / 1000 > 140 ? 0xFF000000 : 0xFFFFFFFF;
    for (int y = 0; y < PICTURE_SYMBOL_SIZE; ++y)
        for (int x = 0; x < PICTURE_SYMBOL_SIZE; ++x)
            if (symbol[y][x] == '#') px[(PICTURE_SYMBOL_Y + y) * PICTURE_WIDTH + PICTURE_SYMBOL_X + x] = ink;
    return px;
}

const char* const* PictureSymbol(int kind) {
    // ready: a ring; running: a play mark; passed: a tick; failed: a cross; offline: a bar.
    static const char* const kRing[] = {"..####..", ".#....#.", "#......#", "#......#",
                                        "#......#", "#......#", ".#....#.", "..####.."};
    static const char* const kPlay[] = {".#......", ".##.....", ".###....", ".####...",
                                        ".####...", ".###....", ".##.....", ".#......"};
    static const char* const kTick[] = {"........", ".......#", "......##", "#....##.",
                                        "##..##..", ".####...", "..##....", "........"};
    static const char* const kCross[] = {"#......#", "##....##", ".##..##.", "..####..",
                                         "..####..", ".##..##.", "##....##", "#......#"};
    static const char* const kBar[] = {"........", "........", "........", "########",
                                       "########", "........", "........", "........"};
    switch (kind) {
        case PIC_READY: return kRing;
        case PIC_RUNNING: return kPlay;
        case PIC_PASS: return kTick;
        case PIC_FAIL: return kCross;
        default: return kBar;
    }
}

IconPixels MakeIcon(int resourceId) {
    IconPixels px;
    px.fill(0x00000000);
    if (resourceId == 140) {
        // A green arrow pointing right.
        for (int y = 2; y < 14; ++y) {
            const int half = y <= 7 ? y - 2 : 13 - y;
            for (int x = 4; x <= 4 + half * 2 && x < 16; ++x) px[y * ICON_SIZE + x] = 0xFF008000;
        }
    } else if (resourceId == 141) {
        // A red exclamation mark.
        for (int y = 2; y < 11; ++y)
            for (int x = 7; x <= 8; ++x) px[y * ICON_SIZE + x] = 0xFFCC0000;
        for (int y = 12; y < 14; ++y)
            for (int x = 7; x <= 8; ++x) px[y * ICON_SIZE + x] = 0xFFCC0000;
    }
    return px;
}
