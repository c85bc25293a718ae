// The group clear over the stand-in driver's default disks 0 to 5 through path 0, on disks as the
// driver starts them: 0, 1 and 5 reserved by other nodes with the program's own key "TESSALY1"
// (this host's path 0 of device 5 registered with it too), 2 reserved under the foreign key
// "NODE-B01", 3 absent, 4 free.
#include <gtest/gtest.h>

#include "DriverSession.h"
#include "Expected.h"

namespace blackbox {
namespace {

using GroupClear = DriverSession;

// The status block of a command whose call went through, as the group clear writes it.
std::vector<std::string> Block(const std::string& heading, int device, const std::string& scsi) {
    return {heading,
            "               Device Number: " + std::to_string(device) + " Path Number: 0",
            "Scsi status: " + scsi + "h, Bytes returned: 98h, ",
            "Data buffer length: 18h\n\n\n",
            kClosing,
            " "};
}

TEST_F(GroupClear, ClearsReservationsHeldWithTheProgramsKeyAndMeetsConflictsElsewhere) {
    SetGroupMode(true);
    app().Type(kGroupStart, "0");
    app().Type(kGroupEnd, "5");
    app().Type(kGroupPath, "0");
    app().Click(kClearPrKeys);

    const std::string message = SystemMessageLine(55);  // the absent device 3
    const int failed_block = message.empty() ? 7 : 8;
    const int status_lines = 5 * 12 + 2 * failed_block;
    ASSERT_TRUE(WaitUntil(
        [&] {
            return app().LineCount(kStatus) >= status_lines && app().LineCount(kDataLog) >= 360;
        },
        10000))
        << app().LineCount(kStatus) << " status lines, " << app().LineCount(kDataLog)
        << " log lines";
    ASSERT_TRUE(app().Responsive(app().Main()));
    // Painted once the range is done (a list left with painting off would stay blank). The
    // picture shows the newest lines: scrolled to them from outside, as a person would.
    ExpectPainted({kStatus, kDataLog});
    app().ShowLastLine(kStatus);
    app().ShowLastLine(kDataLog);
    Picture("group-clear");

    std::vector<std::string> expected;
    auto add = [&](const std::vector<std::string>& block) {
        expected.insert(expected.end(), block.begin(), block.end());
    };
    // Read the holder's key, register this host's path, clear with the key read: where the holder
    // used the program's key the clear goes through; under a foreign key, or with no reservation
    // to read a key from, the device answers RESERVATION CONFLICT (18h).
    add(Block("REGISTER DEVICE:", 0, "00"));
    add(Block("CLEAR RESERVATION:", 0, "00"));
    add(Block("REGISTER DEVICE:", 1, "00"));
    add(Block("CLEAR RESERVATION:", 1, "00"));
    add(Block("REGISTER DEVICE:", 2, "00"));
    add(Block("CLEAR RESERVATION:", 2, "18"));
    // The absent device fails the call; the count of the call before it stays.
    for (const char* heading : {"REGISTER DEVICE:", "CLEAR RESERVATION:"}) {
        add({heading, "               Device Number: 3 Path Number: 0", "Error: 55  "});
        if (!message.empty()) {
            add({message});
        }
        add({"Scsi status: 00h, Bytes returned: 98h, ", "Data buffer length: 3Ch\n\n\n", kClosing,
             " "});
    }
    add(Block("REGISTER DEVICE:", 4, "00"));
    add(Block("CLEAR RESERVATION:", 4, "18"));
    // Path 0 of device 5 is registered already, so registering it again with a reservation key
    // of zero conflicts; the clear with the key read goes through.
    add(Block("REGISTER DEVICE:", 5, "18"));
    add(Block("CLEAR RESERVATION:", 5, "00"));
    EXPECT_EQ(app().Lines(kStatus), expected);

    // Three data log blocks a device, in the order of the commands.
    const auto log = app().Lines(kDataLog);
    ASSERT_EQ(log.size(), 360u);
    const char* banners[] = {"            READ RESERVATION (PERSISTENT RESERVE IN):",
                             "            REGISTER RESERVATION (PERSISTENT RESERVE OUT):",
                             "            CLEAR RESERVATION (PERSISTENT RESERVE OUT):"};
    for (int device = 0; device <= 5; ++device) {
        for (int command = 0; command < 3; ++command) {
            const size_t first = static_cast<size_t>(device * 60 + command * 20);
            EXPECT_EQ(log[first], banners[command]) << "device " << device;
            EXPECT_EQ(log[first + 2], "               Device Number: " + std::to_string(device) +
                                          " Path Number: 0");
        }
    }
    // What device 0's clear sent: the key its reservation was read with, twice.
    EXPECT_EQ(log[40 + 8], " 54  45  53  53  41  4C  59  31  54  45  53  53  41  4C  59  31");
    // Device 2's clear sent the foreign key it read.
    EXPECT_EQ(log[160 + 8], " 4E  4F  44  45  2D  42  30  31  4E  4F  44  45  2D  42  30  31");
    // Device 4 had no reservation: its clear sent zeros.
    EXPECT_EQ(log[280 + 8], kZeroFirstRow);

    // The last read was device 5's; the caption holds its clear's lengths.
    EXPECT_EQ(app().KeyFields(),
              (std::vector<std::string>{"54", "45", "53", "53", "41", "4c", "59", "31"}));
    EXPECT_EQ(app().Text(kStatus), "Length : 152, Returned : 152\n");
    for (int id : KeyFieldIds()) {
        EXPECT_FALSE(app().Enabled(id));
    }

    // Read back one device at a time: the reservations with the program's key are gone, the
    // foreign one stays.
    SetGroupMode(false);
    for (const char* device : {"0", "1", "5"}) {
        SCOPED_TRACE(device);
        app().SetText(kDevice, device);
        app().SetText(kPath, "0");
        ASSERT_TRUE(app().PickAndWait(1, 0));
        EXPECT_EQ(app().KeyFields(), std::vector<std::string>(8, "0"));
        const auto lines = app().Lines(kDataLog);
        // No reservation descriptor: an additional length of zero.
        EXPECT_EQ(lines[lines.size() - 12].substr(15, 16), "  00  00  00  00");
    }
    app().SetText(kDevice, "2");
    ASSERT_TRUE(app().PickAndWait(1, 0));
    EXPECT_EQ(app().KeyFields(),
              (std::vector<std::string>{"4e", "4f", "44", "45", "2d", "42", "30", "31"}));
}

TEST_F(GroupClear, ANumberOutOfRangeBringsItsMessageOverListsThatShowTheLinesSoFar) {
    SetGroupMode(true);
    app().Type(kGroupStart, "100");
    app().Type(kGroupEnd, "101");
    app().Type(kGroupPath, "0");
    app().Click(kClearPrKeys);

    // Device 100 is absent: its three calls fail. 101 is refused, once a command.
    const int failed_block = SystemMessageLine(55).empty() ? 7 : 8;
    for (int command = 0; command < 3; ++command) {
        SCOPED_TRACE(command);
        auto box = app().WaitBox("tessaly");
        ASSERT_TRUE(box.has_value());
        EXPECT_EQ(box->text, kBadNumbers);
        EXPECT_EQ(app().LineCount(kStatus), 2 * failed_block);
        EXPECT_EQ(app().LineCount(kDataLog), 60);
        if (command == 0) {
            ExpectPainted({kStatus, kDataLog}, box->hwnd);
            Picture("group-clear-message");
        }
        ASSERT_TRUE(app().Answer(box->hwnd));
    }
    ASSERT_TRUE(app().Responsive(app().Main()));
    EXPECT_EQ(app().FindDialog("tessaly", 300), nullptr);
    EXPECT_EQ(app().LineCount(kStatus), 2 * failed_block);
    EXPECT_EQ(app().LineCount(kDataLog), 60);
    ExpectPainted({kStatus, kDataLog});
}

}  // namespace
}  // namespace blackbox
