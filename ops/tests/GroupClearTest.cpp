#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "testing/MemoryDialog.h"

namespace tessaly {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::OpsBench;

// The message's exact text is checked with the single step.
const std::string kInvalidNumbers = kInvalidNumbersMessage;

void SetRange(OpsBench& bench, const char* start, const char* end, const char* path) {
    bench.dialog.range = {start, end, path};
}

// Device number, operation code and service action of every call, in order.
std::vector<std::string> Sent(const OpsBench& bench) {
    std::vector<std::string> sent;
    for (const auto& call : bench.port.calls) {
        char text[32];
        std::snprintf(text, sizeof text, "%u:%02X%02X/%u", LoadLe32(call.input.data()),
                      call.input[44], call.input[45], LoadLe32(call.input.data() + 4));
        sent.push_back(text);
    }
    return sent;
}

TEST(GroupCheck, SwitchesTheSingleStepThenTheGroupControls) {
    for (const bool checked : {true, false}) {
        OpsBench bench;
        bench.dialog.groupMode = checked;
        bench.ops.OnGroupCheck();
        EXPECT_EQ(bench.dialog.switches,
                  checked ? (std::vector<std::string>{"single-step off", "group on"})
                          : (std::vector<std::string>{"single-step on", "group off"}));
        EXPECT_TRUE(bench.port.calls.empty());
    }
}

TEST(GroupClear, OnePassReadsRegistersAndClearsWithPauses) {
    OpsBench bench;
    SetRange(bench, "7", "7", "2");
    bench.ops.OnClearPrKeys();
    EXPECT_EQ(Sent(bench), (std::vector<std::string>{"7:5E01/2", "7:5F00/2", "7:5F03/2"}));
    EXPECT_EQ(bench.pause.sleeps, (std::vector<std::uint32_t>{1, 1, 1}));
    EXPECT_EQ(bench.pause.begun, 1);
    EXPECT_EQ(bench.pause.ended, 1);
    EXPECT_EQ(bench.sink.statusLines.size(), 12u) << "the status blocks of REGISTER and CLEAR";
    EXPECT_EQ(bench.sink.dataLogLines.size(), 60u);
    EXPECT_EQ(bench.sink.statusLines[0], "REGISTER DEVICE:");
    EXPECT_EQ(bench.sink.statusLines[6], "CLEAR RESERVATION:");
    EXPECT_EQ(bench.dialog.rangeReads, 1) << "the range is read once for the button";
    EXPECT_EQ(bench.dialog.numberReads, 0) << "the commands take the range's numbers";
}

TEST(GroupClear, StartAboveEndDoesNothing) {
    OpsBench bench;
    SetRange(bench, "5", "4", "0");
    bench.ops.OnClearPrKeys();
    EXPECT_TRUE(bench.port.calls.empty());
    EXPECT_TRUE(bench.sink.events.empty());
    EXPECT_TRUE(bench.dialog.messages.empty());
    EXPECT_TRUE(bench.pause.sleeps.empty());
    EXPECT_EQ(bench.pause.begun, 0);
}

TEST(GroupClear, DevicesOutOfRangeCostThreeMessagesEachAndTheRangeGoesOn) {
    OpsBench bench;
    SetRange(bench, "99", "102", "0");
    bench.ops.OnClearPrKeys();
    EXPECT_EQ(Sent(bench), (std::vector<std::string>{"99:5E01/0", "99:5F00/0", "99:5F03/0",
                                                     "100:5E01/0", "100:5F00/0", "100:5F03/0"}));
    EXPECT_EQ(bench.dialog.messages, std::vector<std::string>(6, kInvalidNumbers));
    EXPECT_EQ(bench.pause.sleeps.size(), 12u);

    OpsBench negative;
    SetRange(negative, "-2", "0", "0");
    negative.ops.OnClearPrKeys();
    EXPECT_EQ(Sent(negative), (std::vector<std::string>{"0:5E01/0", "0:5F00/0", "0:5F03/0"}));
    EXPECT_EQ(negative.dialog.messages.size(), 6u);
}

TEST(GroupClear, AnInvalidPathSendsNothingAtAll) {
    OpsBench bench;
    SetRange(bench, "0", "3", "33");
    bench.ops.OnClearPrKeys();
    EXPECT_TRUE(bench.port.calls.empty());
    EXPECT_EQ(bench.dialog.messages, std::vector<std::string>(12, kInvalidNumbers));
    EXPECT_EQ(bench.dialog.focusRequests, 12);
    EXPECT_TRUE(bench.sink.events.empty());
}

TEST(GroupClear, TheLargestEndNumberEndsTheRange) {
    OpsBench bench;
    SetRange(bench, "2147483645", "2147483647", "0");
    bench.ops.OnClearPrKeys();
    EXPECT_EQ(bench.dialog.messages.size(), 9u);
    EXPECT_EQ(bench.pause.sleeps.size(), 9u);

    OpsBench wrapped;  // 2^31 - 1 typed as 2147483647 and as its 64-bit alias
    SetRange(wrapped, "2147483647", "6442450943", "0");
    wrapped.ops.OnClearPrKeys();
    EXPECT_EQ(wrapped.dialog.messages.size(), 3u);
}

TEST(GroupClear, EachClearSendsTheKeyReadFromTheSameDevice) {
    OpsBench bench;
    for (std::uint8_t device = 1; device <= 3; ++device) {
        bench.port.QueueReply(
            [device](std::uint8_t* out, std::uint32_t) {
                std::uint8_t* data = out + 92;
                data[7] = 16;
                for (int i = 0; i < 8; ++i) {
                    data[8 + i] = static_cast<std::uint8_t>(device * 16 + i);
                }
            },
            152);
        bench.port.QueueReply({}, 152);  // REGISTER
        bench.port.QueueReply({}, 152);  // CLEAR
    }
    SetRange(bench, "1", "3", "1");
    bench.ops.OnClearPrKeys();
    ASSERT_EQ(bench.port.calls.size(), 9u);
    for (std::uint8_t device = 1; device <= 3; ++device) {
        const auto& clear = bench.port.calls[device * 3u - 1].input;
        Bytes key;
        for (int i = 0; i < 8; ++i) {
            key.push_back(static_cast<std::uint8_t>(device * 16 + i));
        }
        EXPECT_EQ(Bytes(clear.begin() + 100, clear.begin() + 108), key) << "device " << int{device};
        EXPECT_EQ(Bytes(clear.begin() + 108, clear.begin() + 116), key) << "device " << int{device};
    }
    EXPECT_EQ(bench.sink.keyFields[0], "30") << "the fields show the last device's key";
}

TEST(GroupClear, DisabledEmptyEditsReadAsZeroAndRunDeviceZero) {
    OpsBench bench;
    bench.dialog.groupMode = false;
    bench.ops.OnClearPrKeys();
    EXPECT_EQ(Sent(bench), (std::vector<std::string>{"0:5E01/0", "0:5F00/0", "0:5F03/0"}));
}

TEST(GroupClear, AfterAFailedOpenEveryCommandIsSentAndReportsAFailure) {
    OpsBench bench(false);
    bench.messages.texts[6] = "Invalid handle.\r\n";
    SetRange(bench, "0", "1", "0");
    bench.ops.OnClearPrKeys();
    ASSERT_EQ(bench.port.calls.size(), 6u);
    for (const auto& call : bench.port.calls) {
        EXPECT_EQ(call.handle, kInvalidHandle);
    }
    EXPECT_EQ(bench.result.success, 0);
    EXPECT_EQ(bench.sink.statusLines.size(), 32u) << "four failed status blocks of eight lines";
    EXPECT_EQ(bench.sink.statusLines[2], "Error: 6  ");
    EXPECT_EQ(bench.sink.statusLines[3], "Invalid handle.\r\n\n");
    EXPECT_EQ(bench.sink.dataLogLines.size(), 120u);
}

}  // namespace
}  // namespace tessaly
