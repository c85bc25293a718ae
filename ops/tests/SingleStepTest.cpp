#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/MemoryDialog.h"

namespace tessaly {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::OpsBench;

const char kInvalidNumbers[] =
    "Please enter a valid value for Device Number and Path Number above.";

std::uint32_t SentDevice(const testing::MemoryDriverPort::Call& call) {
    return LoadLe32(call.input.data());
}
std::uint32_t SentPath(const testing::MemoryDriverPort::Call& call) {
    return LoadLe32(call.input.data() + 4);
}
// Operation code and service action of the command block that was sent.
std::pair<int, int> SentCommand(const testing::MemoryDriverPort::Call& call) {
    return {call.input[44], call.input[45]};
}

// A READ reply holding `key` at data bytes 8..15.
testing::MemoryDriverPort::ReplyWriter KeyReply(Bytes key, std::uint8_t status = 0) {
    return [key, status](std::uint8_t* out, std::uint32_t) {
        out[2] = status;
        out[92 + 7] = 16;
        std::copy(key.begin(), key.end(), out + 92 + 8);
    };
}

TEST(SingleStep, NumbersComeFromTheEditsByTheDecimalRule) {
    const struct {
        const char* device;
        const char* path;
        std::uint32_t sentDevice;
        std::uint32_t sentPath;
    } accepted[] = {
        {"", "", 0, 0},
        {"100", "32", 100, 32},
        {"4294967297", "7abc", 1, 7},
        {"  12", "+3", 12, 3},
    };
    for (const auto& a : accepted) {
        SCOPED_TRACE(std::string(a.device) + " / " + a.path);
        OpsBench bench;
        bench.dialog.numbers = {a.device, a.path};
        bench.ops.ReadKeys(true, 55, 66);
        ASSERT_EQ(bench.port.calls.size(), 1u);
        EXPECT_EQ(SentDevice(bench.port.calls[0]), a.sentDevice);
        EXPECT_EQ(SentPath(bench.port.calls[0]), a.sentPath);
        EXPECT_TRUE(bench.dialog.messages.empty());
        EXPECT_EQ(bench.dialog.numberReads, 1);
    }
}

TEST(SingleStep, OutOfRangeNumbersBringTheMessageAndNothingElse) {
    const struct {
        const char* device;
        const char* path;
    } refused[] = {{"101", "0"}, {"0", "33"}, {"5", "-1"}, {"2147483648", "0"}, {"-1", "-1"}};
    for (const auto& r : refused) {
        SCOPED_TRACE(std::string(r.device) + " / " + r.path);
        OpsBench bench;
        bench.port.QueueReply(KeyReply({1, 2, 3, 4, 5, 6, 7, 8}), 152);
        bench.ops.ReadKeys(false, 3, 0);  // leaves a key, a result and report lines behind
        const auto key = bench.key.Bytes();
        const OperationResult result = bench.result;
        const auto sink = bench.sink;

        bench.dialog.numbers = {r.device, r.path};
        for (int index = 0; index < kListCommandCount; ++index) {
            bench.dialog.selection = index;
            bench.ops.OnSelchangeCommand();
        }
        EXPECT_EQ(bench.dialog.messages, std::vector<std::string>(5, kInvalidNumbers));
        EXPECT_EQ(bench.dialog.focusRequests, 5);
        EXPECT_EQ(bench.port.calls.size(), 1u) << "nothing sent";
        EXPECT_EQ(bench.key.Bytes(), key);
        EXPECT_EQ(bench.result.success, result.success);
        EXPECT_EQ(bench.result.bytesReturned, result.bytesReturned);
        EXPECT_EQ(bench.sink.statusLines, sink.statusLines);
        EXPECT_EQ(bench.sink.dataLogLines, sink.dataLogLines);
        EXPECT_EQ(bench.sink.keyFieldSets, sink.keyFieldSets);
    }
}

TEST(SingleStep, CallerNumbersAreCheckedTheSameWayAndIgnoreTheEdits) {
    OpsBench bench;
    bench.dialog.numbers = {"9", "9"};
    bench.ops.ClearReservation(false, 100, 32);
    bench.ops.RegisterDevice(false, 101, 0);
    bench.ops.ReadReservation(false, 0, -5);
    ASSERT_EQ(bench.port.calls.size(), 1u);
    EXPECT_EQ(SentDevice(bench.port.calls[0]), 100u);
    EXPECT_EQ(SentPath(bench.port.calls[0]), 32u);
    EXPECT_EQ(bench.dialog.messages.size(), 2u);

    bench.ops.ReserveDevice();  // always from the edits
    ASSERT_EQ(bench.port.calls.size(), 2u);
    EXPECT_EQ(SentDevice(bench.port.calls[1]), 9u);
}

TEST(SingleStep, SelectionRunsItsCommandAndAnythingElseIsRefused) {
    const std::pair<int, int> expected[] = {
        {0x5E, 0x00}, {0x5E, 0x01}, {0x5F, 0x00}, {0x5F, 0x01}, {0x5F, 0x03}};
    OpsBench bench;
    for (int index = 0; index < kListCommandCount; ++index) {
        bench.dialog.selection = index;
        bench.ops.OnSelchangeCommand();
        ASSERT_EQ(bench.port.calls.size(), static_cast<std::size_t>(index + 1));
        EXPECT_EQ(SentCommand(bench.port.calls.back()), expected[index]) << "index " << index;
    }
    for (const int index : {-1, 5, 100}) {
        bench.dialog.selection = index;
        bench.ops.OnSelchangeCommand();
    }
    EXPECT_EQ(bench.port.calls.size(), 5u);
    EXPECT_EQ(bench.dialog.messages, std::vector<std::string>(3, "Invalid selection"));
}

TEST(SingleStep, EachCommandReportsInItsOwnOrder) {
    const std::string dataLog = std::string(5, 'D') + "C" + std::string(15, 'D');
    const struct {
        int index;
        std::string events;
    } cases[] = {
        {0, std::string(6, 'S') + std::string(8, 'K') + std::string(20, 'D')},
        {1, std::string(8, 'K') + dataLog},
        {2, std::string(6, 'S') + dataLog},
        {3, dataLog},
        {4, std::string(6, 'S') + dataLog},
    };
    for (const auto& c : cases) {
        OpsBench bench;
        bench.dialog.selection = c.index;
        bench.ops.OnSelchangeCommand();
        EXPECT_EQ(bench.sink.events, c.events) << "index " << c.index;
        EXPECT_EQ(bench.result.dumpLength, 152u);
    }
}

TEST(SingleStep, ReadKeysReportsThenCapturesAndShowsTheKey) {
    OpsBench bench;
    bench.dialog.numbers = {"3", "1"};
    bench.port.QueueReply(KeyReply({0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31}), 152);
    bench.ops.ReadKeys(true, 0, 0);
    EXPECT_EQ(
        bench.sink.statusLines,
        (std::vector<std::string>{
            "READ PERSISTENT RESERVATION KEY:", "               Device Number: 3 Path Number: 1",
            "Scsi status: 00h, Bytes returned: 98h, ", "Data buffer length: 3Ch\n\n\n",
            "#################################### ", " "}));
    EXPECT_EQ(bench.sink.keyFields,
              (std::array<std::string, 8>{"54", "45", "53", "53", "41", "4c", "59", "31"}));
    EXPECT_EQ(bench.sink.dataLogLines[8],
              " 00  00  00  00  00  00  00  10  54  45  53  53  41  4C  59  31");
    EXPECT_EQ(bench.sink.captionSets, 0);
}

TEST(SingleStep, AFailedReadStillReplacesTheKeyAndReportsTheError) {
    OpsBench bench;
    bench.port.QueueReply(KeyReply({9, 9, 9, 9, 9, 9, 9, 9}), 152);
    bench.ops.ReadKeys(false, 1, 0);
    bench.messages.texts[1167] = "The device is not connected.\r\n";
    bench.port.QueueFailure(1167, std::nullopt);
    bench.sink.statusLines.clear();
    bench.ops.ReadKeys(false, 1, 0);
    EXPECT_EQ(bench.key.Bytes(), (ReservationKey{}));
    EXPECT_EQ(bench.sink.keyFields,
              (std::array<std::string, 8>{"0", "0", "0", "0", "0", "0", "0", "0"}));
    ASSERT_EQ(bench.sink.statusLines.size(), 8u);
    EXPECT_EQ(bench.sink.statusLines[2], "Operation failed");
    EXPECT_EQ(bench.sink.statusLines[3], "The device is not connected.\r\n\n");
    EXPECT_EQ(bench.sink.statusLines[4], "Scsi status: 00h, Bytes returned: 98h, ")
        << "the count of the earlier call remains";
}

TEST(SingleStep, WritesAndReserveLeaveTheKeyAlone) {
    OpsBench bench;
    bench.port.QueueReply(KeyReply({1, 2, 3, 4, 5, 6, 7, 8}), 152);
    bench.ops.ReadReservation(false, 2, 2);
    const auto fields = bench.sink.keyFields;
    const int sets = bench.sink.keyFieldSets;
    bench.port.QueueReply(KeyReply({0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}, 0x18), 152);
    bench.ops.RegisterDevice(false, 2, 2);
    bench.ops.ReserveDevice();
    bench.ops.ClearReservation(false, 2, 2);
    EXPECT_EQ(bench.key.Bytes(), (ReservationKey{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(bench.sink.keyFields, fields);
    EXPECT_EQ(bench.sink.keyFieldSets, sets);
    const auto& clear = bench.port.calls.back().input;
    EXPECT_EQ(Bytes(clear.begin() + 100, clear.begin() + 116),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
}  // namespace tessaly
