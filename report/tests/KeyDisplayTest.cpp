#include <gtest/gtest.h>

#include "report/Report.h"
#include "testing/MemoryReportSink.h"

namespace tessaly {
namespace {

TEST(KeyDisplay, EachByteInLowerCaseHexWithoutLeadingZeros) {
    auto request = BuildCommandRequest(Command::ReadKeys, 0, 0, CurrentKey{});
    const std::uint8_t key[8] = {0, 10, 16, 255, 1, 0xAB, 0x0F, 0x80};
    for (int i = 0; i < 8; ++i) {
        request.Bytes()[108 + i] = key[i];
    }
    CurrentKey current;
    current.CaptureFrom(request);

    testing::MemoryReportSink sink;
    ShowKey(sink, current);
    EXPECT_EQ(sink.keyFields,
              (std::array<std::string, 8>{"0", "a", "10", "ff", "1", "ab", "f", "80"}));
    EXPECT_EQ(sink.keyFieldSets, 8);
    EXPECT_TRUE(sink.statusLines.empty());
    EXPECT_TRUE(sink.dataLogLines.empty());
}

}  // namespace
}  // namespace tessaly
