// The framework layer: message maps, modal runs, command routing, help, application name.
#include <gtest/gtest.h>

#include <functional>

#include "ModalWatcher.h"
#include "TestIds.h"
#include "ui/IconPlacement.h"
#include "ui/framework/Dialog.h"
#include "ui/framework/WinApp.h"

namespace {

constexpr UINT kHelpCommand = 57670;
constexpr UINT kProbe = WM_APP + 1;

// --- message maps without windows ----------------------------------------------------------

class BaseTarget : public CCmdTarget {
  public:
    std::string calls;
    void BaseOnly() { calls += "base-only;"; }
    void Shared() { calls += "base-shared;"; }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(BaseTarget, CCmdTarget)
ON_COMMAND(8, BaseOnly)
ON_COMMAND(5, Shared)
END_MESSAGE_MAP()

class DerivedTarget : public BaseTarget {
  public:
    void Shared() { calls += "derived-shared;"; }
    void Clicked() { calls += "clicked;"; }
    void Selchange() { calls += "selchange;"; }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(DerivedTarget, BaseTarget)
ON_COMMAND(5, Shared)
ON_BN_CLICKED(6, Clicked)
ON_CBN_SELCHANGE(9, Selchange)
END_MESSAGE_MAP()

TEST(MessageMap, MostDerivedEntryWinsAndBaseEntriesStayReachable) {
    DerivedTarget target;
    EXPECT_TRUE(target.OnCmdMsg(5, 0));
    EXPECT_TRUE(target.OnCmdMsg(8, 0));
    EXPECT_EQ(target.calls, "derived-shared;base-only;");
}

TEST(MessageMap, CommandMatchesIdAndNotificationCode) {
    DerivedTarget target;
    EXPECT_FALSE(target.OnCmdMsg(9, BN_CLICKED));
    EXPECT_FALSE(target.OnCmdMsg(9, CBN_DROPDOWN));
    EXPECT_FALSE(target.OnCmdMsg(6, CBN_SELCHANGE));
    EXPECT_FALSE(target.OnCmdMsg(7, 0));
    EXPECT_EQ(target.calls, "");
    EXPECT_TRUE(target.OnCmdMsg(9, CBN_SELCHANGE));
    EXPECT_TRUE(target.OnCmdMsg(6, BN_CLICKED));
    EXPECT_EQ(target.calls, "selchange;clicked;");
}

TEST(MessageMap, HandlesCommandAnswersWithoutRunning) {
    DerivedTarget target;
    EXPECT_TRUE(target.HandlesCommand(8, 0));
    EXPECT_FALSE(target.HandlesCommand(8, 1));
    EXPECT_EQ(target.calls, "");
}

// --- pure helpers ------------------------------------------------------------------------------

TEST(IconPlacement, CentresWithTruncationTowardZero) {
    EXPECT_EQ(tessaly::ui::IconOrigin(36, 32), 2);
    EXPECT_EQ(tessaly::ui::IconOrigin(35, 32), 2);
    EXPECT_EQ(tessaly::ui::IconOrigin(29, 32), -1);  // -2 / 2
    EXPECT_EQ(tessaly::ui::IconOrigin(28, 32), -1);  // -3 / 2, not -2
    EXPECT_EQ(tessaly::ui::IconOrigin(0, 32), -15);
    EXPECT_EQ(tessaly::ui::IconOrigin(160, 48), 56);
}

TEST(ApplicationName, IsTheModuleFileNameWithoutExtension) {
    EXPECT_EQ(AppNameFromModulePath("C:\\Tools\\tool.exe"), "tool");
    EXPECT_EQ(AppNameFromModulePath("C:\\v1.2\\tool"), "tool");
    EXPECT_EQ(AppNameFromModulePath("D:/x/tool.v2.EXE"), "tool.v2");
    EXPECT_EQ(HelpPathFromModulePath("C:\\v1.2\\tool.exe"), "C:\\v1.2\\tool.chm");
    EXPECT_EQ(HelpPathFromModulePath("C:\\v1.2\\tool"), "C:\\v1.2\\tool.chm");

    CWinApp app;
    app.SetCurrentHandles(::GetModuleHandleA(nullptr));
    EXPECT_EQ(app.AppName(), "ui_tests");
    EXPECT_TRUE(app.HelpFilePath().ends_with("\\ui_tests.chm")) << app.HelpFilePath();
    EXPECT_EQ(AfxGetApp(), &app);

    CWinApp named("Given");
    named.SetCurrentHandles(::GetModuleHandleA(nullptr));
    EXPECT_EQ(named.AppName(), "Given");
}

// --- dialogs -------------------------------------------------------------------------------

// Counts what reaches it; `onInit` runs inside OnInitDialog, `onShown` once the modal loop runs.
class RoutingDlg : public CDialog {
  public:
    explicit RoutingDlg(UINT templateId = IDD_ROUTING) : CDialog(templateId) {}

    std::function<void(RoutingDlg&)> onInit;
    std::function<void(RoutingDlg&)> onShown;
    int clicks = 0;
    int selchanges = 0;
    int loads = 0;
    int saves = 0;
    UINT lastSysCommand = 0;
    bool sysCommandToDefault = true;
    CEdit edit;
    CButton button;
    CComboBox combo;

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        if (onInit) {
            onInit(*this);
        }
        ::PostMessageA(m_hWnd, kProbe, 0, 0);
        return TRUE;
    }
    void DoDataExchange(CDataExchange* dx) override {
        ++(dx->m_bSaveAndValidate ? saves : loads);
        DDX_Control(dx, IDC_ROUTING_EDIT, edit);
        DDX_Control(dx, IDC_ROUTING_BUTTON, button);
        DDX_Control(dx, IDC_ROUTING_COMBO, combo);
    }
    void OnPressed() { ++clicks; }
    void OnSelchange() { ++selchanges; }
    void OnSysCommand(UINT id, LPARAM) {
        lastSysCommand = id;
        if (sysCommandToDefault) {
            Default();
        }
    }
    LRESULT OnProbe(WPARAM, LPARAM) {
        if (onShown) {
            onShown(*this);
        }
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(RoutingDlg, CDialog)
ON_BN_CLICKED(IDC_ROUTING_BUTTON, OnPressed)
ON_CBN_SELCHANGE(IDC_ROUTING_COMBO, OnSelchange)
ON_WM_SYSCOMMAND()
ON_MESSAGE(kProbe, OnProbe)
END_MESSAGE_MAP()

// An application that answers the help command and records the topics asked for.
class HelpApp : public CWinApp {
  public:
    HelpApp() { SetCurrentHandles(::GetModuleHandleA(nullptr)); }
    int helpCommands = 0;
    std::vector<DWORD> topics;
    void OnHelpCommand() {
        ++helpCommands;
        OnHelp();
    }
    void ShowHelpTopic(DWORD topic) override { topics.push_back(topic); }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(HelpApp, CWinApp)
ON_COMMAND(kHelpCommand, OnHelpCommand)
END_MESSAGE_MAP()

bool HasStyle(HWND window, LONG style) {
    return (::GetWindowLongA(window, GWL_STYLE) & style) == style;
}

TEST(Dialog, ModalResults) {
    HelpApp app;
    RoutingDlg cancelled;
    cancelled.onShown = [](RoutingDlg& d) { d.SendMessage(WM_COMMAND, IDCANCEL); };
    EXPECT_EQ(cancelled.DoModal(), 2);
    EXPECT_EQ(cancelled.saves, 0);

    RoutingDlg confirmed;
    confirmed.onShown = [](RoutingDlg& d) { d.SendMessage(WM_COMMAND, IDOK); };
    EXPECT_EQ(confirmed.DoModal(), 1);
    EXPECT_EQ(confirmed.loads, 1);
    EXPECT_EQ(confirmed.saves, 1);  // the OK handling exchanges in the save direction

    RoutingDlg escaped;
    escaped.onShown = [](RoutingDlg& d) {
        d.edit.SetFocus();
        ::PostMessageA(d.edit.m_hWnd, WM_KEYDOWN, VK_ESCAPE, 0);
    };
    EXPECT_EQ(escaped.DoModal(), 2);

    RoutingDlg missing(IDD_MISSING);
    EXPECT_EQ(missing.DoModal(), -1);
    EXPECT_EQ(missing.m_hWnd, nullptr);
}

TEST(Dialog, CommandsReachTheirHandlersAndUnhandledOnesTheApplication) {
    HelpApp app;
    RoutingDlg dialog;
    dialog.onShown = [&](RoutingDlg& d) {
        d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_ROUTING_BUTTON, BN_CLICKED),
                      reinterpret_cast<LPARAM>(d.button.m_hWnd));
        d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_ROUTING_COMBO, CBN_SELCHANGE),
                      reinterpret_cast<LPARAM>(d.combo.m_hWnd));
        d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_ROUTING_COMBO, CBN_DROPDOWN),
                      reinterpret_cast<LPARAM>(d.combo.m_hWnd));
        EXPECT_EQ(app.helpCommands, 0);
        d.SendMessage(WM_COMMAND, MAKEWPARAM(kHelpCommand, BN_CLICKED));
        EXPECT_EQ(app.helpCommands, 1);
        d.EndDialog(5);
    };
    EXPECT_EQ(dialog.DoModal(), 5);
    EXPECT_EQ(dialog.clicks, 1);
    EXPECT_EQ(dialog.selchanges, 1);
}

TEST(Dialog, HelpButtonShownOnlyWhenTheApplicationAnswersHelp) {
    bool shown = false;
    auto probe = [&](RoutingDlg& d) {
        shown = HasStyle(::GetDlgItem(d.m_hWnd, kHelpCommand), WS_VISIBLE);
        d.EndDialog(2);
    };
    {
        HelpApp app;
        RoutingDlg dialog;
        dialog.onInit = probe;
        dialog.DoModal();
        EXPECT_TRUE(shown);
    }
    {
        CWinApp app;
        RoutingDlg dialog;
        dialog.onInit = probe;
        dialog.DoModal();
        EXPECT_FALSE(shown);
    }
}

TEST(Dialog, F1AsksForTheTopicOfTheDialogWithTheFocus) {
    HelpApp app;
    RoutingDlg dialog;
    app.m_pMainWnd = &dialog;
    dialog.onShown = [&](RoutingDlg& d) {
        d.edit.SetFocus();
        HELPINFO info{sizeof info, HELPINFO_WINDOW, IDC_ROUTING_EDIT, d.edit.m_hWnd, 0, {}};
        ::SendMessageA(d.edit.m_hWnd, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
        d.EndDialog(2);
    };
    dialog.DoModal();
    EXPECT_EQ(app.helpCommands, 1);
    EXPECT_EQ(app.topics, std::vector<DWORD>{0x20000 + IDD_ROUTING});
}

TEST(Dialog, DefaultHandsTheMessageOnToTheWindowSystem) {
    HelpApp app;
    RoutingDlg closing;
    closing.onShown = [](RoutingDlg& d) { d.SendMessage(WM_SYSCOMMAND, SC_CLOSE); };
    EXPECT_EQ(closing.DoModal(), 2);  // the dialog manager turns SC_CLOSE into IDCANCEL
    EXPECT_EQ(closing.lastSysCommand, static_cast<UINT>(SC_CLOSE));

    RoutingDlg kept;
    kept.sysCommandToDefault = false;
    kept.onShown = [](RoutingDlg& d) {
        d.SendMessage(WM_SYSCOMMAND, SC_CLOSE);
        d.EndDialog(7);
    };
    EXPECT_EQ(kept.DoModal(), 7);
}

TEST(Dialog, BindingABoundControlDoesNothing) {
    HelpApp app;
    RoutingDlg dialog;
    dialog.onShown = [](RoutingDlg& d) {
        EXPECT_EQ(d.edit.m_hWnd, ::GetDlgItem(d.m_hWnd, IDC_ROUTING_EDIT));
        EXPECT_EQ(d.combo.m_hWnd, ::GetDlgItem(d.m_hWnd, IDC_ROUTING_COMBO));
        HWND other = d.button.m_hWnd;
        d.combo.m_hWnd = other;
        EXPECT_TRUE(d.UpdateData(TRUE));
        EXPECT_EQ(d.combo.m_hWnd, other);
        d.EndDialog(2);
    };
    dialog.DoModal();
    EXPECT_EQ(dialog.saves, 1);
}

TEST(AfxMessageBoxBehaviour, OwnedByTheMainWindowAndCaptionedWithTheApplicationName) {
    HelpApp app;
    RoutingDlg dialog;
    app.m_pMainWnd = &dialog;
    ModalWatcher boxes("ui_tests", ModalWatcher::Close(IDOK));
    int answer = 0;
    HWND shownAs = nullptr;
    dialog.onShown = [&](RoutingDlg& d) {
        shownAs = d.m_hWnd;
        answer = AfxMessageBox("Something to say.");
        d.EndDialog(2);
    };
    dialog.DoModal();
    EXPECT_EQ(answer, IDOK);
    ASSERT_EQ(boxes.Count(), 1);
    EXPECT_EQ(boxes.Texts()[0], "Something to say.");
    EXPECT_EQ(boxes.Owners()[0], shownAs);
}

// An application whose help command shows help the framework's own way; there is no help file
// beside the test program, so the viewer cannot show it.
class ShowingHelpApp : public CWinApp {
  public:
    ShowingHelpApp() { SetCurrentHandles(::GetModuleHandleA(nullptr)); }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(ShowingHelpApp, CWinApp)
ON_COMMAND(kHelpCommand, CWinApp::OnHelp)
END_MESSAGE_MAP()

TEST(HelpFailure, F1InTheFailureMessageOpensNoSecondBox) {
    ShowingHelpApp app;
    RoutingDlg dialog;
    app.m_pMainWnd = &dialog;
    int shown = 0;
    ModalWatcher boxes("ui_tests", [&shown](HWND box) {
        if (++shown == 1) {
            // F1 in the box as the window system delivers it: WM_HELP to the focused button,
            // which hands it to the box, which hands it to its owner, the dialog.
            HWND ok = ::GetDlgItem(box, IDOK);
            HELPINFO info{sizeof info, HELPINFO_WINDOW, IDOK, ok, 0, {}};
            ::SendMessageA(ok, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
        }
        ::PostMessageA(box, WM_COMMAND, IDOK, 0);
    });
    dialog.onShown = [](RoutingDlg& d) {
        d.SendMessage(WM_COMMAND, MAKEWPARAM(kHelpCommand, BN_CLICKED));
        d.EndDialog(2);
    };
    dialog.DoModal();
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Failed to launch help."});
}

}  // namespace
