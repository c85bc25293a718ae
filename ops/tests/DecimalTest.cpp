#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ops/Operations.h"

namespace tessaly {
namespace {

TEST(DecimalToInt32, FollowsTheCRuntimeAtoiRule) {
    EXPECT_EQ(DecimalToInt32(""), 0);
    EXPECT_EQ(DecimalToInt32("abc"), 0);
    EXPECT_EQ(DecimalToInt32("42"), 42);
    EXPECT_EQ(DecimalToInt32(" \t\n\v\f\r42"), 42);
    EXPECT_EQ(DecimalToInt32("+42"), 42);
    EXPECT_EQ(DecimalToInt32("-1"), -1);
    EXPECT_EQ(DecimalToInt32("7abc"), 7);
    EXPECT_EQ(DecimalToInt32("5 6"), 5);
    EXPECT_EQ(DecimalToInt32("--5"), 0);
    EXPECT_EQ(DecimalToInt32("+-5"), 0);
    EXPECT_EQ(DecimalToInt32("- 5"), 0);
    EXPECT_EQ(DecimalToInt32("x5"), 0);
    EXPECT_EQ(DecimalToInt32("00100"), 100);
    EXPECT_EQ(DecimalToInt32(std::string("12\0"
                                         "3",
                                         4)),
              12);
}

TEST(DecimalToInt32, KeepsTheLow32BitsOfLongerNumbers) {
    EXPECT_EQ(DecimalToInt32("4294967297"), 1);
    EXPECT_EQ(DecimalToInt32("4294967296"), 0);
    EXPECT_EQ(DecimalToInt32("2147483647"), INT_MAX);
    EXPECT_EQ(DecimalToInt32("2147483648"), INT_MIN);
    EXPECT_EQ(DecimalToInt32("-2147483648"), INT_MIN);
    EXPECT_EQ(DecimalToInt32("4294967295"), -1);
    EXPECT_EQ(DecimalToInt32("12345678901234567890"), -350287150);
}

TEST(DecimalToInt32, ReadsVeryLongTextsWhole) {
    EXPECT_EQ(DecimalToInt32(std::string(40000, '9')), -1);
    EXPECT_EQ(DecimalToInt32(std::string(50000, '0') + "37"), 37);
    EXPECT_EQ(DecimalToInt32(std::string(50000, ' ') + "-37"), -37);
}

}  // namespace
}  // namespace tessaly
