// Runs under Wine (or on Windows) with the real platform calls.
#include <gtest/gtest.h>

#include "win32/Win32MessageLookup.h"

namespace tessaly::win32 {
namespace {

TEST(Win32MessageLookup, GivesTheSystemTextWithItsLineBreak) {
    Win32MessageLookup lookup;
    const auto text = lookup.MessageFor(2);
    ASSERT_TRUE(text.has_value());
    EXPECT_FALSE(text->empty());
    EXPECT_LE(text->size(), 79u);
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n");
}

TEST(Win32MessageLookup, FailsForANumberWithoutText) {
    Win32MessageLookup lookup;
    EXPECT_FALSE(lookup.MessageFor(0x2000FFFEu).has_value());
}

TEST(Win32MessageLookup, TextsThatExpectInsertsAreSafe) {
    Win32MessageLookup lookup;
    // 34: the wrong disk is in the drive, a text with three inserts.
    for (const std::uint32_t error : {34u, 1450u, 0x0000013Du}) {
        const auto text = lookup.MessageFor(error);
        if (text) {
            EXPECT_LE(text->size(), 79u) << error;
        }
    }
}

}  // namespace
}  // namespace tessaly::win32
