// The program in a Wine prefix without the VLK driver: the control device does not open.
#include <gtest/gtest.h>

#include "Expected.h"
#include "Harness.h"

namespace blackbox {
namespace {

bool IsOpenFailedText(const std::string& text) {
    // The message ends in a newline; the message box may show it or drop it.
    const std::string without_newline(kOpenFailed, sizeof(kOpenFailed) - 2);
    return text == kOpenFailed || text == without_newline;
}

// Starts the program and answers the message about the failed open.
class NoDriver : public testing::Test {
  protected:
    void StartAs(const std::wstring& exe, const std::string& caption) {
        app_ = std::make_unique<App>(exe);
        ASSERT_TRUE(app_->Started());
        auto box = app_->WaitBox(caption, 10000);
        ASSERT_TRUE(box.has_value()) << "no message box captioned " << caption;
        EXPECT_TRUE(IsOpenFailedText(box->text)) << "[" << box->text << "]";
        ASSERT_TRUE(app_->Answer(box->hwnd));
        ASSERT_NE(app_->Main(), nullptr);
    }
    App& app() { return *app_; }

    std::unique_ptr<App> app_;
};

TEST_F(NoDriver, DialogComesUpWithoutCommandsAndWithGroupEditsEnabled) {
    StartAs(GetOptions().exe, "tessaly");
    EXPECT_TRUE(app().ComboEntries().empty());
    EXPECT_EQ(app().ComboSelection(), CB_ERR);
    for (int id : {kGroupCheck, kGroupStart, kGroupEnd, kGroupPath, kClearPrKeys, kDevice, kPath,
                   kCommandList, kDataLog, kStatus, kCancel, kHelp}) {
        EXPECT_TRUE(app().Enabled(id)) << "control " << id;
    }
    for (int id : KeyFieldIds()) {
        EXPECT_TRUE(app().Enabled(id)) << "key field " << id;
        EXPECT_EQ(app().Text(id), "");
    }
    EXPECT_EQ(SendMessageW(app().Item(kGroupCheck), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_TRUE(IsWindowVisible(app().Item(kHelp)));
    EXPECT_EQ(app().LineCount(kStatus), 0);
    EXPECT_EQ(app().LineCount(kDataLog), 0);
    EXPECT_EQ(app().Text(kStatus), "");
}

TEST_F(NoDriver, GroupClearSendsEveryCommandAndReportsEachFailure) {
    StartAs(GetOptions().exe, "tessaly");
    app().Type(kGroupStart, "7");
    app().Type(kGroupEnd, "8");
    app().Type(kGroupPath, "2");
    app().Click(kClearPrKeys);

    // A call on the handle of the failed open fails with ERROR_INVALID_HANDLE.
    const std::string message = SystemMessageLine(6);
    const int block = message.empty() ? 7 : 8;
    ASSERT_TRUE(WaitUntil([&] {
        return app().LineCount(kStatus) >= 4 * block && app().LineCount(kDataLog) >= 120;
    })) << app().LineCount(kStatus)
        << " status lines, " << app().LineCount(kDataLog) << " log lines";
    ASSERT_TRUE(app().Responsive(app().Main()));

    std::vector<std::string> status;
    std::vector<std::string> log;
    for (int device : {7, 8}) {
        const std::string line =
            "               Device Number: " + std::to_string(device) + " Path Number: 2";
        for (const char* heading : {"REGISTER DEVICE:", "CLEAR RESERVATION:"}) {
            status.insert(status.end(), {heading, line, "Error: 6  "});
            if (!message.empty()) {
                status.push_back(message);
            }
            status.insert(status.end(), {"Scsi status: 00h, Bytes returned: 0h, ",
                                         "Data buffer length: 3Ch\n\n\n", kClosing, " "});
        }
        auto add = [&](const std::vector<std::string>& lines) {
            log.insert(log.end(), lines.begin(), lines.end());
        };
        // Nothing comes back, so the dumps show what the program put into the data area: the
        // fixed key as the new registration, and the all-zero key that the failed read left.
        add(LogBlock("            READ RESERVATION (PERSISTENT RESERVE IN):", line,
                     RowsThenZeros({})));
        add(LogBlock(
            "            REGISTER RESERVATION (PERSISTENT RESERVE OUT):", line,
            RowsThenZeros({" 00  00  00  00  00  00  00  00  54  45  53  53  41  4C  59  31"})));
        add(LogBlock("            CLEAR RESERVATION (PERSISTENT RESERVE OUT):", line,
                     RowsThenZeros({})));
    }
    EXPECT_EQ(app().Lines(kStatus), status);
    EXPECT_EQ(app().Lines(kDataLog), log);
    EXPECT_EQ(app().Text(kStatus), "Length : 152, Returned : 0\n");
    EXPECT_EQ(app().KeyFields(), std::vector<std::string>(8, "0"));
    EXPECT_TRUE(app().ComboEntries().empty());
}

TEST_F(NoDriver, EveryMessageBoxOfACopyNamedToolIsCaptionedTool) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    const std::wstring copy = std::wstring(folder) + L"tool.exe";
    ASSERT_TRUE(CopyFileW(GetOptions().exe.c_str(), copy.c_str(), FALSE));
    StartAs(copy, "tool");

    // An out-of-range path costs three messages for the device, and nothing is sent.
    app().Type(kGroupStart, "4");
    app().Type(kGroupEnd, "4");
    app().Type(kGroupPath, "33");
    app().Click(kClearPrKeys);
    for (int i = 0; i < 3; ++i) {
        auto box = app().WaitBox("tool");
        ASSERT_TRUE(box.has_value()) << "message " << i + 1;
        EXPECT_EQ(box->text, kBadNumbers);
        EXPECT_EQ(app().CountDialogs("tessaly"), 0);
        ASSERT_TRUE(app().Answer(box->hwnd));
    }
    ASSERT_TRUE(app().Responsive(app().Main()));
    EXPECT_FALSE(app().FindDialog("tool", 300));
    EXPECT_EQ(app().LineCount(kStatus), 0);
    EXPECT_EQ(app().LineCount(kDataLog), 0);

    // A start above the end runs nothing at all.
    app().SetText(kGroupStart, "9");
    app().SetText(kGroupEnd, "8");
    app().SetText(kGroupPath, "0");
    app().Click(kClearPrKeys);
    ASSERT_TRUE(app().Responsive(app().Main()));
    EXPECT_FALSE(app().FindDialog("tool", 500));
    EXPECT_EQ(app().LineCount(kStatus), 0);
    EXPECT_EQ(app().LineCount(kDataLog), 0);

    app_.reset();
    DeleteFileW(copy.c_str());
}

}  // namespace
}  // namespace blackbox
