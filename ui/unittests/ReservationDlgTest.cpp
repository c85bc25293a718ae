// The real main dialog and application object, on a driver of the test's own.
#include <gtest/gtest.h>

#include <functional>

#include "ModalWatcher.h"
#include "testing/MemoryDriverPort.h"
#include "ui/ReservationApp.h"
#include "ui/ReservationDlg.h"
#include "ui/resource.h"

namespace {

constexpr UINT kProbe = WM_APP + 2;

// The application with its real message map; help topics are recorded instead of shown.
class RecordingApp : public CReservationApp {
  public:
    RecordingApp() { SetCurrentHandles(::GetModuleHandleA(nullptr)); }
    std::vector<DWORD> topics;
    void ShowHelpTopic(DWORD topic) override { topics.push_back(topic); }
};

// The main dialog with a hook that runs once the modal loop has shown it.
class ProbedDlg : public CReservationDlg {
  public:
    explicit ProbedDlg(tessaly::DriverPort& driver) : CReservationDlg(driver) {}
    std::function<void(ProbedDlg&)> onShown;
    HWND Item(int id) const { return ::GetDlgItem(m_hWnd, id); }

    BOOL OnInitDialog() override {
        const BOOL result = CReservationDlg::OnInitDialog();
        ::PostMessageA(m_hWnd, kProbe, 0, 0);
        return result;
    }
    LRESULT OnProbe(WPARAM, LPARAM) {
        onShown(*this);
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(ProbedDlg, CReservationDlg)
ON_MESSAGE(kProbe, OnProbe)
END_MESSAGE_MAP()

std::vector<std::string> ComboEntries(HWND combo) {
    std::vector<std::string> entries;
    const int count = static_cast<int>(::SendMessageA(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        char text[128] = {};
        ::SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        entries.emplace_back(text);
    }
    return entries;
}

// The ids of the dialog's controls that receive WM_ENABLE while `action` runs, in order (not the
// combo box's own edit).
std::vector<HWND> g_switched;
LRESULT CALLBACK RecordEnable(int code, WPARAM wParam, LPARAM lParam) {
    const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && message->message == WM_ENABLE) {
        g_switched.push_back(message->hwnd);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
std::vector<int> SwitchedBy(HWND dialog, const std::function<void()>& action) {
    g_switched.clear();
    HHOOK hook = ::SetWindowsHookExA(WH_CALLWNDPROC, RecordEnable, nullptr, ::GetCurrentThreadId());
    action();
    ::UnhookWindowsHookEx(hook);
    std::vector<int> ids;
    for (HWND control : g_switched) {
        if (::GetParent(control) == dialog) {
            ids.push_back(::GetDlgCtrlID(control));
        }
    }
    return ids;
}

bool Enabled(HWND window) {
    return ::IsWindowEnabled(window) != FALSE;
}

TEST(ReservationDlg, TemplateHoldsTheControlsInTabOrder) {
    RecordingApp app;
    tessaly::testing::MemoryDriverPort driver;
    ProbedDlg dialog(driver);
    app.m_pMainWnd = &dialog;
    std::vector<int> ids;
    dialog.onShown = [&](ProbedDlg& d) {
        for (HWND child = ::GetWindow(d.m_hWnd, GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            ids.push_back(::GetDlgCtrlID(child) & 0xFFFF);
        }
        EXPECT_EQ(WindowText(d.m_hWnd), "VLK Tessaly");
        EXPECT_TRUE(::GetWindowLongA(d.m_hWnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);
        EXPECT_FALSE(::GetWindowLongA(d.m_hWnd, GWL_STYLE) & WS_THICKFRAME);
        EXPECT_EQ(WindowText(d.Item(IDC_CLEAR_PR_KEYS)), "CLEAR PR KEYS");
        EXPECT_EQ(WindowText(d.Item(ID_HELP)), "&Help");
        EXPECT_TRUE(::GetWindowLongA(d.Item(IDC_DEVICE_NUMBER), GWL_STYLE) & ES_NUMBER);
        EXPECT_FALSE(::GetWindowLongA(d.Item(IDC_PATH_NUMBER), GWL_STYLE) & ES_NUMBER);
        EXPECT_TRUE(::GetWindowLongA(d.Item(IDC_KEY7), GWL_STYLE) & ES_READONLY);
        d.EndDialog(2);
    };
    dialog.DoModal();
    const std::vector<int> expected = {
        1017,   1018,   1019,   1004,   1021,   1002,   1003,   1000,   1001,   1009,   1010,
        1011,   1012,   1013,   1014,   1015,   1008,   1016,   2,      57670,  0xFFFF, 0xFFFF,
        0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    EXPECT_EQ(ids, expected);
}

TEST(ReservationDlg, AfterASuccessfulOpen) {
    RecordingApp app;
    tessaly::testing::MemoryDriverPort driver;
    {
        ProbedDlg dialog(driver);
        app.m_pMainWnd = &dialog;
        dialog.onShown = [&](ProbedDlg& d) {
            EXPECT_EQ(ComboEntries(d.Item(IDC_COMMAND)),
                      (std::vector<std::string>{"Read Persistent Reservation Key",
                                                "Read Reservation", "Register Device",
                                                "Reserve Device", "Clear Reservation"}));
            EXPECT_EQ(::SendMessageA(d.Item(IDC_COMMAND), CB_GETCURSEL, 0, 0), CB_ERR);
            EXPECT_FALSE(Enabled(d.Item(IDC_GROUP_START)));
            EXPECT_FALSE(Enabled(d.Item(IDC_GROUP_END)));
            EXPECT_FALSE(Enabled(d.Item(IDC_GROUP_PATH)));
            EXPECT_TRUE(Enabled(d.Item(IDC_DEVICE_NUMBER)));
            EXPECT_EQ(::SendMessageA(d.Item(IDC_GROUP_CHECK), BM_GETCHECK, 0, 0), BST_UNCHECKED);
            EXPECT_EQ(::GetFocus(), d.Item(IDC_GROUP_CHECK));
            EXPECT_TRUE(::IsWindowVisible(d.Item(ID_HELP)));
            HICON big = reinterpret_cast<HICON>(d.SendMessage(WM_GETICON, ICON_BIG));
            EXPECT_NE(big, nullptr);
            EXPECT_EQ(big, d.Icon());
            EXPECT_EQ(reinterpret_cast<HICON>(d.SendMessage(WM_QUERYDRAGICON)), d.Icon());

            HMENU menu = ::GetSystemMenu(d.m_hWnd, FALSE);
            ASSERT_NE(menu, nullptr);
            const int count = ::GetMenuItemCount(menu);
            ASSERT_GE(count, 2);
            EXPECT_EQ(::GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR,
                      static_cast<UINT>(MF_SEPARATOR));
            EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
            char text[64] = {};
            ::GetMenuStringA(menu, count - 1, text, static_cast<int>(sizeof text), MF_BYPOSITION);
            EXPECT_STREQ(text, "&About Tessaly...");
            d.EndDialog(2);
        };
        dialog.DoModal();
        ASSERT_EQ(driver.openedNames.size(), 1u);
        EXPECT_STREQ(driver.openedNames[0], "\\\\.\\vlkpath");
        EXPECT_TRUE(driver.closedHandles.empty());
    }
    EXPECT_EQ(driver.closedHandles, std::vector<tessaly::DeviceHandle>{
                                        tessaly::testing::MemoryDriverPort::kOpenedHandle});
}

TEST(ReservationDlg, AfterAFailedOpen) {
    RecordingApp app;
    tessaly::testing::MemoryDriverPort driver;
    driver.FailOpen(2);
    ModalWatcher boxes("ui_tests", ModalWatcher::Close(IDOK));
    {
        ProbedDlg dialog(driver);
        app.m_pMainWnd = &dialog;
        dialog.onShown = [&](ProbedDlg& d) {
            EXPECT_EQ(::SendMessageA(d.Item(IDC_COMMAND), CB_GETCOUNT, 0, 0), 0);
            EXPECT_TRUE(Enabled(d.Item(IDC_GROUP_START)));
            EXPECT_TRUE(Enabled(d.Item(IDC_GROUP_END)));
            EXPECT_TRUE(Enabled(d.Item(IDC_GROUP_PATH)));
            d.EndDialog(2);
        };
        EXPECT_EQ(dialog.DoModal(), 2);
    }
    ASSERT_EQ(boxes.Count(), 1);
    EXPECT_EQ(boxes.Texts()[0], "Error opening \\\\.\\vlkpath. Error: 2\n");
    EXPECT_TRUE(driver.closedHandles.empty());
}

TEST(ReservationDlg, EventsReachTheOperations) {
    RecordingApp app;
    tessaly::testing::MemoryDriverPort driver;
    ProbedDlg dialog(driver);
    app.m_pMainWnd = &dialog;
    dialog.onShown = [&](ProbedDlg& d) {
        ::SetWindowTextA(d.Item(IDC_DEVICE_NUMBER), "3");
        ::SetWindowTextA(d.Item(IDC_PATH_NUMBER), "1");
        ::SendMessageA(d.Item(IDC_COMMAND), CB_SETCURSEL, 0, 0);
        d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_COMMAND, CBN_SELCHANGE),
                      reinterpret_cast<LPARAM>(d.Item(IDC_COMMAND)));
        ASSERT_EQ(driver.calls.size(), 1u);
        EXPECT_EQ(driver.calls[0].input[0], 3);
        EXPECT_EQ(driver.calls[0].input[4], 1);
        EXPECT_GT(::SendMessageA(d.Item(IDC_STATUS_INFO), LB_GETCOUNT, 0, 0), 0);
        EXPECT_GT(::SendMessageA(d.Item(IDC_DATA_LOG), LB_GETCOUNT, 0, 0), 0);
        EXPECT_NE(WindowText(d.Item(IDC_KEY7)), "");

        // The check box switches the fourteen controls in their order, both ways.
        const std::vector<int> order = {
            IDC_DEVICE_NUMBER, IDC_PATH_NUMBER, IDC_COMMAND,   IDC_KEY0,      IDC_KEY1,
            IDC_KEY2,          IDC_KEY3,        IDC_KEY4,      IDC_KEY5,      IDC_KEY6,
            IDC_KEY7,          IDC_GROUP_START, IDC_GROUP_END, IDC_GROUP_PATH};
        for (const bool checked : {true, false}) {
            EXPECT_EQ(SwitchedBy(d.m_hWnd,
                                 [&] { ::SendMessageA(d.Item(IDC_GROUP_CHECK), BM_CLICK, 0, 0); }),
                      order);
            for (std::size_t i = 0; i < order.size(); ++i) {
                EXPECT_EQ(Enabled(d.Item(order[i])), (i < 11) != checked) << order[i];
            }
        }
        d.EndDialog(2);
    };
    dialog.DoModal();
}

TEST(ReservationDlg, PortsUseTheRightControls) {
    RecordingApp app;
    tessaly::testing::MemoryDriverPort driver;
    ProbedDlg dialog(driver);
    app.m_pMainWnd = &dialog;
    dialog.onShown = [&](ProbedDlg& d) {
        const int keyIds[] = {1001, 1009, 1010, 1011, 1012, 1013, 1014, 1015};
        const std::string keyTexts[] = {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7"};
        for (int i = 0; i < 8; ++i) {
            d.SetKeyFieldText(i, keyTexts[i]);
        }
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(WindowText(d.Item(keyIds[i])), keyTexts[i]);
        }
        d.AppendStatusLine("status");
        d.AppendDataLogLine("log");
        EXPECT_EQ(::SendMessageA(d.Item(IDC_STATUS_INFO), LB_GETCOUNT, 0, 0), 1);
        EXPECT_EQ(::SendMessageA(d.Item(IDC_DATA_LOG), LB_GETCOUNT, 0, 0), 1);
        d.SetLengthsCaption("lengths");
        EXPECT_EQ(WindowText(d.Item(IDC_STATUS_INFO)), "lengths");

        const std::string longText(5000, '7');
        ::SetWindowTextA(d.Item(IDC_DEVICE_NUMBER), "12");
        ::SetWindowTextA(d.Item(IDC_PATH_NUMBER), longText.c_str());
        ::SetWindowTextA(d.Item(IDC_GROUP_START), "4");
        ::SetWindowTextA(d.Item(IDC_GROUP_END), "9");
        ::SetWindowTextA(d.Item(IDC_GROUP_PATH), "x1");
        const auto numbers = d.SingleStepNumbers();
        EXPECT_EQ(numbers.device, "12");
        EXPECT_EQ(numbers.path, longText);
        const auto range = d.GroupRange();
        EXPECT_EQ(range.start, "4") << "read while disabled";
        EXPECT_EQ(range.end, "9");
        EXPECT_EQ(range.path, "x1");
        EXPECT_EQ(d.CommandSelection(), -1);
        EXPECT_FALSE(d.IsGroupMode());
        ::SendMessageA(d.Item(IDC_GROUP_CHECK), BM_SETCHECK, BST_INDETERMINATE, 0);
        EXPECT_TRUE(d.IsGroupMode());
        d.FocusDeviceNumber();
        EXPECT_EQ(::GetFocus(), d.Item(IDC_DEVICE_NUMBER));
        d.EndDialog(2);
    };
    dialog.DoModal();
}

TEST(ReservationDlg, EnterInAnEditEndsWithOneAndEscapeWithTwo) {
    RecordingApp app;
    tessaly::testing::MemoryDriverPort driver;
    for (const auto& [key, result] : {std::pair{VK_RETURN, 1}, std::pair{VK_ESCAPE, 2}}) {
        ProbedDlg dialog(driver);
        app.m_pMainWnd = &dialog;
        const WPARAM pressed = static_cast<WPARAM>(key);
        dialog.onShown = [pressed](ProbedDlg& d) {
            ::SetFocus(d.Item(IDC_DEVICE_NUMBER));
            ::PostMessageA(d.Item(IDC_DEVICE_NUMBER), WM_KEYDOWN, pressed, 0);
        };
        EXPECT_EQ(dialog.DoModal(), result);
    }
}

TEST(ReservationDlg, SystemMenuAboutEntryAndHelpTopics) {
    RecordingApp app;
    tessaly::testing::MemoryDriverPort driver;
    ProbedDlg dialog(driver);
    app.m_pMainWnd = &dialog;
    HWND main = nullptr;
    std::vector<std::string> aboutTexts;
    ModalWatcher about("About Tessaly", [&](HWND box) {
        HWND ok = ::GetDlgItem(box, IDOK);
        aboutTexts.push_back(WindowText(ok));
        EXPECT_EQ(::GetWindowLongA(ok, GWL_STYLE) & 0xF, BS_DEFPUSHBUTTON);
        int children = 0;
        bool versionLine = false;
        for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            ++children;
            versionLine = versionLine || WindowText(child) == "Tessaly Version 1.0";
        }
        EXPECT_EQ(children, 4);
        EXPECT_TRUE(versionLine);
        ::SetFocus(ok);
        HELPINFO info{sizeof info, HELPINFO_WINDOW, IDOK, ok, 0, {}};
        ::SendMessageA(ok, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
        ::PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    });
    dialog.onShown = [&](ProbedDlg& d) {
        main = d.m_hWnd;
        d.SendMessage(WM_SYSCOMMAND, 0x10);
        d.SendMessage(WM_SYSCOMMAND, 0x1F);
        d.SendMessage(WM_SYSCOMMAND, 0x20);
        EXPECT_EQ(about.Count(), 2);
        ::SendMessageA(d.Item(ID_HELP), BM_CLICK, 0, 0);
        d.EndDialog(2);
    };
    dialog.DoModal();
    EXPECT_EQ(about.Count(), 2);
    EXPECT_EQ(about.Owners(), (std::vector<HWND>{main, main}));
    EXPECT_EQ(aboutTexts, (std::vector<std::string>{"OK", "OK"}));
    EXPECT_EQ(app.topics, (std::vector<DWORD>{0x20064, 0x20064, 0x20066}));
}

TEST(ReservationDlg, PaintsWhileMinimisedAndRestored) {
    RecordingApp app;
    tessaly::testing::MemoryDriverPort driver;
    ProbedDlg dialog(driver);
    app.m_pMainWnd = &dialog;
    dialog.onShown = [&](ProbedDlg& d) {
        d.SendMessage(WM_SYSCOMMAND, SC_MINIMIZE);
        EXPECT_TRUE(::IsIconic(d.m_hWnd));
        ::RedrawWindow(d.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        d.SendMessage(WM_SYSCOMMAND, SC_RESTORE);
        EXPECT_FALSE(::IsIconic(d.m_hWnd));
        ::RedrawWindow(d.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        // Nothing left to paint: both branches validated the window.
        EXPECT_FALSE(::GetUpdateRect(d.m_hWnd, nullptr, FALSE));
        d.EndDialog(2);
    };
    EXPECT_EQ(dialog.DoModal(), 2);
}

TEST(ReservationApp, InitInstanceRunsTheDialogOnceAndAnswersFalse) {
    RecordingApp app;
    ModalWatcher openError("ui_tests", ModalWatcher::Close(IDOK));
    ModalWatcher mainDialog("VLK Tessaly", ModalWatcher::Close(IDCANCEL));
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    EXPECT_EQ(app.RegistryKey(), "Local AppWizard-Generated Applications");
    EXPECT_EQ(mainDialog.Count(), 1);
    // Without a driver in the prefix the open fails and says so first.
    if (openError.Count() == 1) {
        EXPECT_EQ(openError.Texts()[0], "Error opening \\\\.\\vlkpath. Error: 2\n");
    }
}

}  // namespace
