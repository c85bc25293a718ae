#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/Report.h"
#include "testing/MemoryReportSink.h"

namespace tessaly {
namespace {

using Lines = std::vector<std::string>;

// A request whose data area holds 0, 1, 2, ... (mod 256) from its first byte, as if the driver and
// the build had written it.
PassThroughRequest CountingRequest(Command command) {
    auto request = BuildCommandRequest(command, 0, 0, CurrentKey{});
    for (int i = 0; i < 512; ++i) {
        request.Bytes()[100 + i] = static_cast<std::uint8_t>(i);
    }
    return request;
}

Lines DataLog(Command command, std::uint32_t device, std::uint32_t path,
              const PassThroughRequest& request, const OperationResult& result,
              testing::MemoryReportSink& sink) {
    WriteDataLogBlock(sink, CommandOutcome{command, device, path, request, result, 0});
    return sink.dataLogLines;
}

TEST(DataLog, ReadKeysBlockIsExactlyTwentyLines) {
    auto request = CountingRequest(Command::ReadKeys);
    request.OutputArea()[2] = 0x77;  // the status byte never appears in the dump
    const OperationResult result{1, 152, 152};
    testing::MemoryReportSink sink;
    const Lines expected = {
        "            READ KEY PERSISTENT RESERVE IN:",
        " ",
        "               Device Number: 100 Path Number: 32",
        "               ====================",
        "00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F",
        " ",
        "-------------------------------------------------------------------------",
        " ",
        " 00  01  02  03  04  05  06  07  08  09  0A  0B  0C  0D  0E  0F",
        "  10  11  12  13  14  15  16  17  18  19  1A  1B  1C  1D  1E  1F",
        "  20  21  22  23  24  25  26  27  28  29  2A  2B  2C  2D  2E  2F",
        "  30  31  32  33  34  35  36  37  38  39  3A  3B  3C  3D  3E  3F",
        "  40  41  42  43  44  45  46  47  48  49  4A  4B  4C  4D  4E  4F",
        "  50  51  52  53  54  55  56  57  58  59  5A  5B  5C  5D  5E  5F",
        "  60  61  62  63  64  65  66  67  68  69  6A  6B  6C  6D  6E  6F",
        "  70  71  72  73  74  75  76  77  78  79  7A  7B  7C  7D  7E  7F",
        "  80  81  82  83  84  85  86  87  88  89  8A  8B  8C  8D  8E  8F",
        "  90  91  92  93  94  95  96  97",
        "#################################### ",
        " ",
    };
    EXPECT_EQ(DataLog(Command::ReadKeys, 100, 32, request, result, sink), expected);
    EXPECT_EQ(sink.dataLogLines[7 + 1].size(), 63u);
    EXPECT_EQ(sink.dataLogLines[7 + 2].size(), 64u);
    EXPECT_EQ(sink.dataLogLines[7 + 10].size(), 32u);
    EXPECT_EQ(sink.captionSets, 0) << "READ KEYS leaves the caption alone";
    EXPECT_TRUE(sink.statusLines.empty());
}

TEST(DataLog, BannersAndTheCaptionAtItsFixedPoint) {
    const std::pair<Command, const char*> cases[] = {
        {Command::ReadReservation, "            READ RESERVATION (PERSISTENT RESERVE IN):"},
        {Command::RegisterDevice, "            REGISTER RESERVATION (PERSISTENT RESERVE OUT):"},
        {Command::ReserveDevice, "            RESERVE RESERVATION (PERSISTENT RESERVE OUT):"},
        {Command::ClearReservation, "            CLEAR RESERVATION (PERSISTENT RESERVE OUT):"},
    };
    for (const auto& [command, banner] : cases) {
        SCOPED_TRACE(banner);
        const auto request = BuildCommandRequest(command, 7, 1, CurrentKey{});
        testing::MemoryReportSink sink;
        const auto lines = DataLog(command, 7, 1, request, OperationResult{0, 40, 152}, sink);
        ASSERT_EQ(lines.size(), 20u);
        EXPECT_EQ(lines[0], banner);
        EXPECT_EQ(lines[2], "               Device Number: 7 Path Number: 1");
        EXPECT_EQ(sink.caption, "Length : 152, Returned : 40\n");
        EXPECT_EQ(sink.events, std::string(5, 'D') + "C" + std::string(15, 'D'));
    }
}

TEST(DataLog, OutRequestsShowTheirParameterListAndZerosAfterIt) {
    const auto request = BuildCommandRequest(Command::RegisterDevice, 0, 0, CurrentKey{});
    testing::MemoryReportSink sink;
    const auto lines =
        DataLog(Command::RegisterDevice, 0, 0, request, OperationResult{1, 152, 152}, sink);
    // Data bytes 0..7 are the zero reservation key; 8..15 the registration key.
    EXPECT_EQ(lines[8].substr(0, 31), " 00  00  00  00  00  00  00  00");
    EXPECT_NE(lines[8].substr(31), "  00  00  00  00  00  00  00  00");
    for (int row = 9; row <= 17; ++row) {
        EXPECT_EQ(lines[static_cast<std::size_t>(row)].find_first_not_of(" 0"), std::string::npos)
            << "row " << row - 7;
    }
}

TEST(HexDump, RowsFollowTheDumpLength) {
    std::vector<std::uint8_t> data(512);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(255 - i);
    }
    EXPECT_TRUE(HexDumpRows(data, 0).empty());
    EXPECT_EQ(HexDumpRows(data, 1), (Lines{" FF"}));
    EXPECT_EQ(HexDumpRows(data, 17),
              (Lines{" FF  FE  FD  FC  FB  FA  F9  F8  F7  F6  F5  F4  F3  F2  F1  F0", "  EF"}));
    EXPECT_EQ(HexDumpRows(data, 32).size(), 2u) << "a multiple of 16 leaves no short row";
    EXPECT_EQ(HexDumpRows(data, 0xFFFFFFFFu).size(), 32u) << "never past the data area";
    EXPECT_EQ(HexDumpRows(std::vector<std::uint8_t>{10, 255, 0}, 3), (Lines{" 0A  FF  00"}));
}

TEST(DataLog, AnOversizedDumpLengthStopsAtTheDataArea) {
    const auto request = CountingRequest(Command::ReserveDevice);
    testing::MemoryReportSink sink;
    const auto lines =
        DataLog(Command::ReserveDevice, 1, 1, request, OperationResult{1, 1, 9999}, sink);
    EXPECT_EQ(lines.size(), 10u + 32u);
    EXPECT_EQ(lines[8 + 31], "  F0  F1  F2  F3  F4  F5  F6  F7  F8  F9  FA  FB  FC  FD  FE  FF");
    EXPECT_EQ(sink.caption, "Length : 9999, Returned : 1\n");
}

}  // namespace
}  // namespace tessaly
