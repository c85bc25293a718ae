// Single-step commands, the group controls, the About box and the ways out, against the stand-in
// driver's default disks: device 2 reserved under the foreign key "NODE-B01", device 3 absent,
// device 4 free, device 5 registered twice with "TESSALY1" (this host's path 0 first).
#include <gtest/gtest.h>

#include "DriverSession.h"
#include "Expected.h"

namespace blackbox {
namespace {

const std::vector<int> kSwitchedOff = {kDevice, kPath, kCommandList, 1001, 1009, 1010,
                                       1011,    1012,  1013,         1014, 1015};
const std::vector<int> kSwitchedOn = {kGroupStart, kGroupEnd, kGroupPath};
const std::vector<int> kNeverSwitched = {kGroupCheck, kClearPrKeys, kDataLog,
                                         kStatus,     kCancel,      kHelp};

using Driver = DriverSession;

TEST_F(Driver, StartsWithFiveCommandsNoneSelectedAndTheGroupEditsDisabled) {
    EXPECT_EQ(app().ComboEntries(), kCommandEntries);
    EXPECT_EQ(app().ComboSelection(), CB_ERR);
    EXPECT_EQ(app().Text(kCommandList), "");
    for (int id : kSwitchedOff) {
        EXPECT_TRUE(app().Enabled(id)) << "control " << id;
        EXPECT_EQ(app().Text(id), "") << "control " << id;
    }
    for (int id : kSwitchedOn) {
        EXPECT_FALSE(app().Enabled(id)) << "control " << id;
        EXPECT_EQ(app().Text(id), "") << "control " << id;
    }
    for (int id : kNeverSwitched) {
        EXPECT_TRUE(app().Enabled(id)) << "control " << id;
    }
    EXPECT_EQ(app().LineCount(kStatus), 0);
    EXPECT_EQ(app().LineCount(kDataLog), 0);
    EXPECT_EQ(app().Text(kStatus), "");
    EXPECT_EQ(app().Focus(), app().Item(kGroupCheck));
}

TEST_F(Driver, GroupCheckBoxSwitchesExactlyFourteenControlsAndKeepsTheirTexts) {
    app().Type(kDevice, "12");
    app().Type(kPath, "3");
    SetGroupMode(true);
    for (int id : kSwitchedOff) {
        EXPECT_FALSE(app().Enabled(id)) << "control " << id;
    }
    for (int id : kSwitchedOn) {
        EXPECT_TRUE(app().Enabled(id)) << "control " << id;
    }
    for (int id : kNeverSwitched) {
        EXPECT_TRUE(app().Enabled(id)) << "control " << id;
    }
    app().Type(kGroupStart, "1");
    app().Type(kGroupEnd, "2");
    app().Type(kGroupPath, "0");

    SetGroupMode(false);
    for (int id : kSwitchedOff) {
        EXPECT_TRUE(app().Enabled(id)) << "control " << id;
    }
    for (int id : kSwitchedOn) {
        EXPECT_FALSE(app().Enabled(id)) << "control " << id;
    }
    for (int id : kNeverSwitched) {
        EXPECT_TRUE(app().Enabled(id)) << "control " << id;
    }
    EXPECT_EQ(app().Text(kDevice), "12");
    EXPECT_EQ(app().Text(kPath), "3");
    EXPECT_EQ(app().Text(kGroupStart), "1");
    EXPECT_EQ(app().Text(kGroupEnd), "2");
    EXPECT_EQ(app().Text(kGroupPath), "0");
}

TEST_F(Driver, NumbersOutOfRangeBringTheMessageAndNothingElse) {
    // The Device Number edit takes digits only, the Path Number edit anything.
    app().Type(kDevice, "1x0-1");
    app().Type(kPath, "-1");
    EXPECT_EQ(app().Text(kDevice), "101");
    EXPECT_EQ(app().Text(kPath), "-1");

    const struct {
        const char* device;
        const char* path;
        int command;
    } refused[] = {{"101", "0", 0}, {"100", "33", 1}, {"0", "-1", 2}, {"4294967297", "99", 4}};
    for (const auto& input : refused) {
        SCOPED_TRACE(std::string(input.device) + "/" + input.path);
        app().SetText(kDevice, input.device);
        app().SetText(kPath, input.path);
        app().Pick(input.command);
        auto box = app().WaitBox("tessaly");
        ASSERT_TRUE(box.has_value());
        EXPECT_EQ(box->text, kBadNumbers);
        ASSERT_TRUE(app().Answer(box->hwnd));
        ASSERT_TRUE(app().Responsive(app().Main()));
        EXPECT_EQ(app().Focus(), app().Item(kDevice));
        EXPECT_EQ(app().LineCount(kStatus), 0);
        EXPECT_EQ(app().LineCount(kDataLog), 0);
        EXPECT_EQ(app().Text(kStatus), "");
        EXPECT_EQ(app().KeyFields(), std::vector<std::string>(8, ""));
    }
}

TEST_F(Driver, ReadKeysReportsStatusKeyAndDumpWithoutTouchingTheCaption) {
    Run("5", "0", 0, 6);
    const std::string line = "               Device Number: 5 Path Number: 0";
    EXPECT_EQ(app().Lines(kStatus),
              (std::vector<std::string>{"READ PERSISTENT RESERVATION KEY:", line,
                                        "Scsi status: 00h, Bytes returned: 98h, ",
                                        "Data buffer length: 18h\n\n\n", kClosing, " "}));
    EXPECT_EQ(app().KeyFields(),
              (std::vector<std::string>{"54", "45", "53", "53", "41", "4c", "59", "31"}));
    // Generation 0, 16 bytes of keys: this host's path 0 and the other node, both TESSALY1.
    EXPECT_EQ(app().Lines(kDataLog),
              LogBlock("            READ KEY PERSISTENT RESERVE IN:", line,
                       RowsThenZeros(
                           {" 00  00  00  00  00  00  00  10  54  45  53  53  41  4C  59  31",
                            "  54  45  53  53  41  4C  59  31  00  00  00  00  00  00  00  00"})));
    EXPECT_EQ(app().Text(kStatus), "");
    ExpectPainted({kStatus, kDataLog, kKey0});
}

TEST_F(Driver, ReadReservationShowsTheHoldersKeyAndSetsOnlyTheCaption) {
    Run("2", "0", 1, 0);
    EXPECT_EQ(app().LineCount(kStatus), 0);
    EXPECT_EQ(app().Text(kStatus), "Length : 152, Returned : 152\n");
    // "NODE-B01", the key a byte of 10h or more shows as two lower-case digits.
    EXPECT_EQ(app().KeyFields(),
              (std::vector<std::string>{"4e", "4f", "44", "45", "2d", "42", "30", "31"}));
    EXPECT_EQ(app().Lines(kDataLog),
              LogBlock("            READ RESERVATION (PERSISTENT RESERVE IN):",
                       "               Device Number: 2 Path Number: 0",
                       RowsThenZeros(
                           {" 00  00  00  00  00  00  00  10  4E  4F  44  45  2D  42  30  31",
                            "  00  00  00  00  00  06  00  00  00  00  00  00  00  00  00  00"})));
}

TEST_F(Driver, ClearSendsTheKeyReadLastWhateverDeviceItCameFrom) {
    const std::string line = "               Device Number: 4 Path Number: 0";
    const std::vector<std::string> conflict = {"CLEAR RESERVATION:",
                                               line,
                                               "Scsi status: 18h, Bytes returned: 98h, ",
                                               "Data buffer length: 18h\n\n\n",
                                               kClosing,
                                               " "};
    // Before any read the key is all zero; path 0 of device 4 holds no registration, so the
    // device refuses the clear.
    Run("4", "0", 4, 6);
    EXPECT_EQ(app().Lines(kStatus), conflict);
    EXPECT_EQ(app().Lines(kDataLog),
              LogBlock("            CLEAR RESERVATION (PERSISTENT RESERVE OUT):", line,
                       RowsThenZeros({})));
    EXPECT_EQ(app().KeyFields(), std::vector<std::string>(8, ""));

    // Device 2's holder key, read on device 2, goes out with the clear of device 4.
    Run("2", "0", 1, 0);
    Run("4", "0", 4, 6);
    EXPECT_EQ(Slice(app().Lines(kStatus), 6, 6), conflict);
    EXPECT_EQ(Slice(app().Lines(kDataLog), 40, 20),
              LogBlock("            CLEAR RESERVATION (PERSISTENT RESERVE OUT):", line,
                       RowsThenZeros(
                           {" 4E  4F  44  45  2D  42  30  31  4E  4F  44  45  2D  42  30  31"})));
    EXPECT_EQ(app().KeyFields(),
              (std::vector<std::string>{"4e", "4f", "44", "45", "2d", "42", "30", "31"}));
}

TEST_F(Driver, FailedCallsOnTheHighestNumbersAndACaptionThatReadKeysLeavesAlone) {
    // Device 100 does not exist: the calls fail and write nothing back.
    const std::string line = "               Device Number: 100 Path Number: 32";
    Run("100", "32", 1, 0);
    EXPECT_EQ(app().LineCount(kStatus), 0);
    EXPECT_EQ(app().Text(kStatus), "Length : 152, Returned : 0\n");
    EXPECT_EQ(app().KeyFields(), std::vector<std::string>(8, "0"));
    EXPECT_EQ(
        app().Lines(kDataLog),
        LogBlock("            READ RESERVATION (PERSISTENT RESERVE IN):", line, RowsThenZeros({})));

    Run("100", "32", 0, 7);
    std::vector<std::string> status = {"READ PERSISTENT RESERVATION KEY:", line,
                                       "Operation failed"};
    const std::string message = SystemMessageLine(55);
    if (!message.empty()) {
        status.push_back(message);
    }
    status.insert(status.end(), {"Scsi status: 00h, Bytes returned: 0h, ",
                                 "Data buffer length: 3Ch\n\n\n", kClosing, " "});
    ASSERT_TRUE(
        WaitUntil([&] { return app().LineCount(kStatus) >= static_cast<int>(status.size()); }));
    EXPECT_EQ(app().Lines(kStatus), status);
    EXPECT_EQ(app().KeyFields(), std::vector<std::string>(8, "0"));
    EXPECT_EQ(Slice(app().Lines(kDataLog), 20, 20),
              LogBlock("            READ KEY PERSISTENT RESERVE IN:", line, RowsThenZeros({})));

    // Leading blanks are skipped and the path's trailing letters ignored: device 5, path 0. The
    // read succeeds, and the caption still holds the lengths of the failed read before it.
    const size_t before = status.size();
    Run(" 5", "0 and more", 0, 6);
    EXPECT_EQ(Slice(app().Lines(kStatus), before, 6),
              (std::vector<std::string>{"READ PERSISTENT RESERVATION KEY:",
                                        "               Device Number: 5 Path Number: 0",
                                        "Scsi status: 00h, Bytes returned: 98h, ",
                                        "Data buffer length: 18h\n\n\n", kClosing, " "}));
    EXPECT_EQ(app().Text(kStatus), "Length : 152, Returned : 0\n");
}

TEST_F(Driver, RegisterReserveReadAndClearOnAFreeDevice) {
    const std::string line = "               Device Number: 4 Path Number: 1";
    // Nothing reserved: an 8-byte header and an all-zero key.
    Run("4", "1", 1, 0);
    EXPECT_EQ(app().KeyFields(), std::vector<std::string>(8, "0"));
    EXPECT_EQ(Slice(app().Lines(kDataLog), 8, 10), RowsThenZeros({}));

    Run("4", "1", 2, 6);
    EXPECT_EQ(Slice(app().Lines(kStatus), 0, 6),
              (std::vector<std::string>{"REGISTER DEVICE:", line,
                                        "Scsi status: 00h, Bytes returned: 98h, ",
                                        "Data buffer length: 18h\n\n\n", kClosing, " "}));
    EXPECT_EQ(Slice(app().Lines(kDataLog), 20, 20),
              LogBlock("            REGISTER RESERVATION (PERSISTENT RESERVE OUT):", line,
                       RowsThenZeros(
                           {" 00  00  00  00  00  00  00  00  54  45  53  53  41  4C  59  31"})));
    EXPECT_EQ(app().Text(kStatus), "Length : 152, Returned : 152\n");

    Run("4", "1", 3, 0);
    EXPECT_EQ(app().LineCount(kStatus), 6);
    EXPECT_EQ(Slice(app().Lines(kDataLog), 40, 20),
              LogBlock("            RESERVE RESERVATION (PERSISTENT RESERVE OUT):", line,
                       RowsThenZeros(
                           {" 54  45  53  53  41  4C  59  31  00  00  00  00  00  00  00  00"})));

    // Generation 1 after the registration; this host now holds a type 6 reservation.
    Run("4", "1", 1, 0);
    EXPECT_EQ(app().KeyFields(),
              (std::vector<std::string>{"54", "45", "53", "53", "41", "4c", "59", "31"}));
    EXPECT_EQ(Slice(app().Lines(kDataLog), 68, 2),
              (std::vector<std::string>{
                  " 00  00  00  01  00  00  00  10  54  45  53  53  41  4C  59  31",
                  "  00  00  00  00  00  06  00  00  00  00  00  00  00  00  00  00"}));

    // The clear sends the key just read in both key fields, and leaves the key fields alone.
    Run("4", "1", 4, 6);
    EXPECT_EQ(Slice(app().Lines(kStatus), 6, 6),
              (std::vector<std::string>{"CLEAR RESERVATION:", line,
                                        "Scsi status: 00h, Bytes returned: 98h, ",
                                        "Data buffer length: 18h\n\n\n", kClosing, " "}));
    EXPECT_EQ(Slice(app().Lines(kDataLog), 88, 2),
              (std::vector<std::string>{
                  " 54  45  53  53  41  4C  59  31  54  45  53  53  41  4C  59  31", kZeroRow}));
    EXPECT_EQ(app().KeyFields(),
              (std::vector<std::string>{"54", "45", "53", "53", "41", "4c", "59", "31"}));

    // Gone: generation 2, no reservation.
    Run("4", "1", 1, 0);
    EXPECT_EQ(app().KeyFields(), std::vector<std::string>(8, "0"));
    EXPECT_EQ(Slice(app().Lines(kDataLog), 108, 2),
              (std::vector<std::string>{
                  " 00  00  00  02  00  00  00  00  00  00  00  00  00  00  00  00", kZeroRow}));
}

TEST_F(Driver, AboutBoxOpensFromTheSystemMenuCommandAndClosesWithEnterOrEscape) {
    for (UINT key : {VK_RETURN, VK_ESCAPE}) {
        SCOPED_TRACE(key == VK_RETURN ? "Enter" : "Escape");
        PostMessageW(app().Main(), WM_SYSCOMMAND, key == VK_RETURN ? 0x10 : 0x1F, 0);
        HWND about = app().FindDialog("About Tessaly");
        ASSERT_NE(about, nullptr);
        const auto texts = ChildTexts(about);
        EXPECT_NE(std::find(texts.begin(), texts.end(), "Tessaly Version 1.0"), texts.end());
        EXPECT_NE(std::find(texts.begin(), texts.end(), "OK"), texts.end());
        EXPECT_TRUE(WaitUntil([&] { return !IsWindowEnabled(app().Main()); }));
        if (key == VK_RETURN) {
            Picture("about");
        }
        HWND focus = app().Focus();
        ASSERT_NE(focus, nullptr);
        PressKey(focus, key);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }));
        EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(app().Main()) != FALSE; }));
    }
    // Outside 0x10 to 0x1F no About box.
    PostMessageW(app().Main(), WM_SYSCOMMAND, 0x20, 0);
    EXPECT_EQ(app().FindDialog("About Tessaly", 500), nullptr);
    EXPECT_FALSE(app().Exited(0));
}

TEST_F(Driver, EnterInTheDeviceNumberEditEndsTheProgram) {
    HWND edit = app().Item(kDevice);
    SendMessageW(app().Main(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
    ASSERT_TRUE(WaitUntil([&] { return app().Focus() == edit; }));
    app().Type(kDevice, "5");
    PressKey(edit, VK_RETURN);
    EXPECT_TRUE(app().Exited());
    EXPECT_FALSE(IsWindow(app().Main()));
}

TEST_F(Driver, EscapeEndsTheProgram) {
    HWND focus = app().Focus();
    ASSERT_NE(focus, nullptr);
    PressKey(focus, VK_ESCAPE);
    EXPECT_TRUE(app().Exited());
    EXPECT_FALSE(IsWindow(app().Main()));
}

}  // namespace
}  // namespace blackbox
