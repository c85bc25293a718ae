#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/Report.h"
#include "testing/MemoryReportSink.h"

namespace tessaly {
namespace {

using Lines = std::vector<std::string>;

struct Fixture {
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 0, 0, CurrentKey{});
    OperationResult result{1, 152, 152};
    testing::MemoryReportSink sink;
    testing::MapMessageLookup messages;

    Lines Status(Command command, std::uint32_t device, std::uint32_t path,
                 std::uint32_t error = 0) {
        WriteStatusBlock(sink, messages,
                         CommandOutcome{command, device, path, request, result, error});
        return sink.statusLines;
    }
};

TEST(StatusBlock, SuccessfulCommandsWriteSixLines) {
    const struct {
        Command command;
        const char* heading;
    } cases[] = {
        {Command::ReadKeys, "READ PERSISTENT RESERVATION KEY:"},
        {Command::RegisterDevice, "REGISTER DEVICE:"},
        {Command::ClearReservation, "CLEAR RESERVATION:"},
    };
    for (const auto& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Status(c.command, 5, 1), (Lines{
                                                 c.heading,
                                                 "               Device Number: 5 Path Number: 1",
                                                 "Scsi status: 00h, Bytes returned: 98h, ",
                                                 "Data buffer length: 3Ch\n\n\n",
                                                 "#################################### ",
                                                 " ",
                                             }));
        EXPECT_TRUE(f.messages.asked.empty()) << "no lookup after a success";
        EXPECT_EQ(f.sink.captionSets, 0);
    }
}

TEST(StatusBlock, FailedCallAddsTheErrorAndTheSystemMessage) {
    Fixture f;
    f.result = {0, 40, 152};
    f.messages.texts[5] = "Access denied.\r\n";
    EXPECT_EQ(f.Status(Command::RegisterDevice, 100, 32, 5),
              (Lines{
                  "REGISTER DEVICE:",
                  "               Device Number: 100 Path Number: 32",
                  "Error: 5  ",
                  "Access denied.\r\n\n",
                  "Scsi status: 00h, Bytes returned: 28h, ",
                  "Data buffer length: 3Ch\n\n\n",
                  "#################################### ",
                  " ",
              }));
    EXPECT_EQ(f.messages.asked, (std::vector<std::uint32_t>{5}));
}

TEST(StatusBlock, FailedCallWithoutSystemTextWritesSevenLines) {
    Fixture f;
    f.result = {0, 0, 152};
    const auto lines = f.Status(Command::ClearReservation, 3, 0, 0xE0000001u);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[2], "Error: -536870911  ")
        << "an error number with its top bit set prints negative";
    EXPECT_EQ(lines[3], "Scsi status: 00h, Bytes returned: 0h, ");
}

TEST(StatusBlock, FailedReadKeysSaysOperationFailed) {
    Fixture f;
    f.result = {0, 152, 152};
    f.messages.texts[31] = "A device attached to the system is not functioning.\r\n";
    const auto lines = f.Status(Command::ReadKeys, 0, 0, 31);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[2], "Operation failed");
    EXPECT_EQ(lines[3], "A device attached to the system is not functioning.\r\n\n");
}

TEST(StatusBlock, AMessageLongerThan79CharactersIsDropped) {
    Fixture f;
    f.result = {0, 0, 152};
    f.messages.texts[1] = std::string(79, 'x');
    f.messages.texts[2] = std::string(80, 'y');
    EXPECT_EQ(f.Status(Command::RegisterDevice, 0, 0, 1).size(), 8u);
    Fixture g;
    g.result = {0, 0, 152};
    g.messages.texts = f.messages.texts;
    EXPECT_EQ(g.Status(Command::RegisterDevice, 0, 0, 2).size(), 7u);
}

TEST(StatusBlock, ShowsTheReplyFieldsWhateverTheDriverAnswered) {
    Fixture f;
    std::uint8_t* out = f.request.OutputArea();
    out[2] = 0xFF;  // ScsiStatus
    for (int i = 12; i < 16; ++i) {
        out[i] = 0xFF;  // DataTransferLength
    }
    f.result = {1, 0xFFFFFFFFu, 152};
    const auto lines = f.Status(Command::ClearReservation, 1, 2);
    EXPECT_EQ(lines[2], "Scsi status: FFh, Bytes returned: FFFFFFFFh, ");
    EXPECT_EQ(lines[3], "Data buffer length: FFFFFFFFh\n\n\n");

    Fixture g;
    g.request.OutputArea()[2] = 0x18;
    g.request.OutputArea()[12] = 0x18;
    EXPECT_EQ(g.Status(Command::RegisterDevice, 1, 2)[2],
              "Scsi status: 18h, Bytes returned: 98h, ");
    EXPECT_EQ(g.sink.statusLines[3], "Data buffer length: 18h\n\n\n");
}

TEST(StatusBlock, ReadReservationAndReserveWriteNoStatusLines) {
    for (const auto command : {Command::ReadReservation, Command::ReserveDevice}) {
        for (const std::int32_t success : {0, 1}) {
            Fixture f;
            f.result.success = success;
            f.messages.texts[5] = "Access denied.\r\n";
            EXPECT_TRUE(f.Status(command, 1, 1, 5).empty());
            EXPECT_TRUE(f.messages.asked.empty());
        }
    }
}

}  // namespace
}  // namespace tessaly
