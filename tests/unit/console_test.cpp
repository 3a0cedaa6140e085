#include "installer/console.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

TEST(ConsoleColorAttribute, TableAndFallback) {
    const unsigned expected[16] = {0x0F, 0x0C, 0x0A, 0x0E, 0x09, 0x0D, 0x0B, 0x80,
                                   0xF8, 0xFC, 0xFA, 0xFE, 0xF9, 0xFD, 0xFB, 0xFF};
    for (int code = 0; code < 16; ++code) EXPECT_EQ(ConsoleColorAttribute(code), expected[code]);
    EXPECT_EQ(ConsoleColorAttribute(16), 0x0Fu);
    EXPECT_EQ(ConsoleColorAttribute(-1), 0x0Fu);
    EXPECT_EQ(ConsoleColorAttribute(-2147483647 - 1), 0x0Fu);
}

TEST(ConsoleCursorMove, OnlyTheOriginFitsAZeroSizedScreen) {
    int width = 0, height = 0;
    if (platform::ConsoleScreenSize(&width, &height)) GTEST_SKIP() << "stdout is a console";
    EXPECT_TRUE(ConsoleCursorMoveAllowed(0, 0));
    EXPECT_FALSE(ConsoleCursorMoveAllowed(1, 0));
    EXPECT_FALSE(ConsoleCursorMoveAllowed(0, 1));
    EXPECT_FALSE(ConsoleCursorMoveAllowed(-1, 0));
    ConsoleClear();  // without a console the recorded size stays 0 by 0
    EXPECT_FALSE(ConsoleCursorMoveAllowed(25, 12));
    EXPECT_TRUE(ConsoleCursorMoveAllowed(0, 0));
}

}  // namespace
