#include "installer/console.h"

#include "platform/platform.h"

namespace {

int g_width = 0;
int g_height = 0;

constexpr unsigned kColorAttributes[16] = {0x0F, 0x0C, 0x0A, 0x0E, 0x09, 0x0D, 0x0B, 0x80,
                                           0xF8, 0xFC, 0xFA, 0xFE, 0xF9, 0xFD, 0xFB, 0xFF};

}  // namespace

extern "C" {

void ConsoleClear(void) try {
    int width = 0, height = 0;
    if (!platform::ConsoleScreenSize(&width, &height)) {
        g_width = g_height = 0;
        return;
    }
    g_width = width;
    g_height = height;
    const long cells = static_cast<long>(width) * height;
    platform::ConsoleFillCharacter(' ', cells);
    platform::ConsoleFillCurrentAttribute(cells);
    platform::ConsoleCursorSet(0, 0);
} catch (...) {
}

int ConsoleCursorMoveAllowed(int column, int row) {
    return column >= 0 && column <= g_width && row >= 0 && row <= g_height;
}

void ConsoleCursorMove(int column, int row) try {
    if (ConsoleCursorMoveAllowed(column, row)) platform::ConsoleCursorSet(column, row);
} catch (...) {
}

unsigned ConsoleColorAttribute(int code) {
    const unsigned index = static_cast<unsigned>(code);
    return index < 16 ? kColorAttributes[index] : 0x0Fu;
}

void ConsoleColorSet(int code) try {
    platform::ConsoleTextAttributeSet(ConsoleColorAttribute(code));
} catch (...) {
}

}  // extern "C"
