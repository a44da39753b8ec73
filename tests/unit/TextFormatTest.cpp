#include "app/TextFormat.h"

#include <gtest/gtest.h>

namespace {

TEST(TextFormat, FillsTheConversionsTheCatalogueUses) {
    EXPECT_EQ(FormatText("Connect to device (Ack = %02X)", {197}), "Connect to device (Ack = C5)");
    EXPECT_EQ(FormatText("Connect to device (Ack = %02X)", {300}), "Connect to device (Ack = 12C)");
    EXPECT_EQ(FormatText("~%02X", {7}), "~07");
    EXPECT_EQ(FormatText("Code=%x", {0xFFFFFFFFu}), "Code=ffffffff");
    EXPECT_EQ(FormatText("Code = %d", {-1}), "Code = -1");
    EXPECT_EQ(FormatText("%s: %ld, %d%c%s", {"COM2", 19200, 7, 'E', "1,5"}), "COM2: 19200, 7E1,5");
    EXPECT_EQ(FormatText("Block %d of %d", {3, 120}), "Block 3 of 120");
    EXPECT_EQ(FormatText("100%% %5s|%-4d|", {"ab", 7}), "100%    ab|7   |");
}

TEST(TextFormat, NeverReadsPastItsArguments) {
    // Texts come from resource libraries: a wrong or missing argument must not crash.
    EXPECT_EQ(FormatText("%s and %s", {"one"}), "one and ");
    EXPECT_EQ(FormatText("%d", {"text"}), "0");
    EXPECT_EQ(FormatText("%s", {42}), "42");
    EXPECT_EQ(FormatText("%n%p%", {}), "%n%p%");
    EXPECT_EQ(FormatText("%", {}), "%");
}

} // namespace
