// The Help button and F1: the help window of tessaly.chm opens beside the dialog, or the message
// "Failed to launch help." comes up; either way nothing blocks the dialog.
#include <gtest/gtest.h>

#include "DriverSession.h"

namespace blackbox {
namespace {

struct HelpSearch {
    DWORD pid;
    HWND main;
    HWND found = nullptr;
};

// A visible top-level window of the program that is neither a dialog box nor its main dialog.
BOOL CALLBACK FindHelpWindow(HWND hwnd, LPARAM lparam) {
    auto* search = reinterpret_cast<HelpSearch*>(lparam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    if (pid == search->pid && hwnd != search->main && IsWindowVisible(hwnd) &&
        std::wstring(name) != L"#32770") {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

using Help = DriverSession;

// Waits for the help window or the failure message, closes what came, and checks the dialog
// still takes messages afterwards.
void ExpectHelpWithoutBlocking(App& app) {
    HelpSearch search{app.ProcessId(), app.Main()};
    std::optional<Box> failure;
    const bool answered = WaitUntil([&] {
        search.found = nullptr;
        EnumWindows(FindHelpWindow, reinterpret_cast<LPARAM>(&search));
        failure = app.WaitBox("tessaly", 0);
        return search.found != nullptr || failure.has_value();
    });
    ASSERT_TRUE(answered) << "neither a help window nor a message";
    if (failure) {
        EXPECT_EQ(failure->text, "Failed to launch help.");
        ASSERT_TRUE(app.Answer(failure->hwnd));
    } else {
        EXPECT_EQ(WindowText(search.found), "Tessaly Help");
        PostMessageW(search.found, WM_CLOSE, 0, 0);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(search.found); }));
    }
    EXPECT_TRUE(app.Responsive(app.Main()));
    EXPECT_TRUE(IsWindowEnabled(app.Main()));
}

TEST_F(Help, HelpButtonShowsHelpWithoutBlocking) {
    EXPECT_TRUE(IsWindowVisible(app().Item(kHelp)));
    app().Click(kHelp);
    ExpectHelpWithoutBlocking(app());
    EXPECT_FALSE(app().Exited(0));
}

TEST_F(Help, F1ShowsHelpWithoutBlocking) {
    HWND edit = app().Item(kDevice);
    SendMessageW(app().Main(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
    ASSERT_TRUE(WaitUntil([&] { return app().Focus() == edit; }));
    // The window system turns F1 into a help request only for real keyboard input, not for a
    // posted key message: type it on the keyboard, with the dialog in front.
    SetForegroundWindow(app().Main());
    ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == app().Main(); }));
    INPUT keys[2] = {};
    keys[0].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = VK_F1;
    keys[1] = keys[0];
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ASSERT_EQ(SendInput(2, keys, sizeof(INPUT)), 2u);
    ExpectHelpWithoutBlocking(app());
    EXPECT_FALSE(app().Exited(0));
}

}  // namespace
}  // namespace blackbox
