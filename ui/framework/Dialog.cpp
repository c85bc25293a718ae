#include "ui/framework/Dialog.h"

#include "ui/framework/FrameworkIds.h"
#include "ui/framework/WinApp.h"

namespace {

// Messages whose dialog-procedure result is the message's own result rather than TRUE/FALSE.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
            return true;
        default:
            return false;
    }
}

}  // namespace

BEGIN_MESSAGE_MAP(CDialog, CCmdTarget)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT templateId, CWnd* parent) : m_templateId(templateId), m_pParentWnd(parent) {}

INT_PTR CDialog::DoModal() {
    HWND owner = nullptr;
    if (m_pParentWnd != nullptr) {
        owner = m_pParentWnd->m_hWnd;
    } else if (CWnd* main = AfxGetMainWnd(); main != nullptr && main != this) {
        owner = main->m_hWnd;
    }
    const INT_PTR result =
        ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_templateId), owner,
                          &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return result;
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    // The Help button is there only when someone answers the help command.
    if (HWND help = ::GetDlgItem(m_hWnd, static_cast<int>(ID_HELP)); help != nullptr) {
        CWnd* main = AfxGetMainWnd();
        CWinApp* app = AfxGetApp();
        const bool handled = (main != nullptr && main->HandlesCommand(ID_HELP, 0)) ||
                             (app != nullptr && app->HandlesCommand(ID_HELP, 0));
        ::ShowWindow(help, handled ? SW_SHOW : SW_HIDE);
    }
    return TRUE;
}

void CDialog::OnOK() {
    if (UpdateData(TRUE)) {
        EndDialog(IDOK);
    }
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

BOOL CDialog::OnCmdMsg(UINT id, UINT code) {
    if (CCmdTarget::OnCmdMsg(id, code)) {
        return TRUE;
    }
    CWinApp* app = AfxGetApp();
    return app != nullptr && app->OnCmdMsg(id, code);
}

BOOL CDialog::HandlesCommand(UINT id, UINT code) const {
    if (CCmdTarget::HandlesCommand(id, code)) {
        return TRUE;
    }
    CWinApp* app = AfxGetApp();
    return app != nullptr && app->HandlesCommand(id, code);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(window, DWLP_USER, lParam);
        dialog->m_hWnd = window;
        return dialog->HandleInitDialog();
    }
    auto* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(window, DWLP_USER));
    if (dialog == nullptr) {
        return FALSE;
    }
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(window, DWLP_USER, 0);
        return FALSE;
    }
    return dialog->DispatchDialogMessage(message, wParam, lParam);
}

INT_PTR CDialog::HandleInitDialog() {
    const BOOL focusFirst = OnInitDialog();
    CenterOverOwner();
    return focusFirst;
}

INT_PTR CDialog::DispatchDialogMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        return OnCmdMsg(LOWORD(wParam), HIWORD(wParam));
    }
    if (message == WM_HELP) {
        // F1 becomes the help command, sent to the main window, which passes it on to the
        // application.
        CWnd* main = AfxGetMainWnd();
        HWND target = main != nullptr && main->m_hWnd != nullptr ? main->m_hWnd : m_hWnd;
        ::SendMessageA(target, WM_COMMAND, MAKEWPARAM(ID_HELP, 0), 0);
        return TRUE;
    }
    if (message == HelpTopicQueryMessage()) {
        if (CWinApp* app = AfxGetApp(); app != nullptr) {
            app->ShowHelpTopic(HelpTopic());
        }
        ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }

    const MessageMapEntry* entry = FindMessageEntry(GetMessageMap(), message, 0, 0);
    if (entry == nullptr) {
        return FALSE;
    }
    const bool outer = m_passToDefault;
    m_passToDefault = false;
    const LRESULT result = entry->handler(*this, wParam, lParam);
    const bool toDefault = m_passToDefault;
    m_passToDefault = outer;
    if (toDefault) {
        return FALSE;
    }
    if (ReturnsResultDirectly(message)) {
        return static_cast<INT_PTR>(result);
    }
    ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

void CDialog::CenterOverOwner() const {
    RECT area{};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    RECT around = area;
    HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
    if (owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
        ::GetWindowRect(owner, &around);
    }
    RECT self{};
    ::GetWindowRect(m_hWnd, &self);
    const int width = self.right - self.left;
    const int height = self.bottom - self.top;
    int x = (around.left + around.right) / 2 - width / 2;
    int y = (around.top + around.bottom) / 2 - height / 2;
    // Keep the whole window inside the work area where it fits.
    if (x + width > area.right) {
        x = area.right - width;
    }
    if (x < area.left) {
        x = area.left;
    }
    if (y + height > area.bottom) {
        y = area.bottom - height;
    }
    if (y < area.top) {
        y = area.top;
    }
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
