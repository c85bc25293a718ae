// Modal dialogs run from a dialog template of the program's resources.
#pragma once

#include <windows.h>

#include "ui/framework/Wnd.h"

// Help topics of dialogs: this base plus the template number.
inline constexpr DWORD kHelpTopicBase = 0x20000;

class CDialog : public CWnd {
  public:
    // `parent` null: the application's main window becomes the owner, unless this is the main
    // window itself.
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);

    // 1 after the OK command, 2 after Cancel, -1 when the dialog cannot be created.
    virtual INT_PTR DoModal();
    void EndDialog(int result) const { ::EndDialog(m_hWnd, result); }

    // Runs the data exchange in the given direction (TRUE: save). Always TRUE.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    DWORD HelpTopic() const { return kHelpTopicBase + m_templateId; }

    // Routes a command through the dialog's own table, then the application's.
    BOOL OnCmdMsg(UINT id, UINT code) override;
    BOOL HandlesCommand(UINT id, UINT code) const override;

    // Everything the dialog procedure receives after WM_INITDIALOG. Returns what the procedure
    // returns; exposed for tests that feed messages directly.
    INT_PTR DispatchDialogMessage(UINT message, WPARAM wParam, LPARAM lParam);

  protected:
    // Binds the controls and shows the Help button only where command ID_HELP is handled. The
    // result says whether the window system should give the focus to the first tab stop.
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* dx);
    virtual void OnOK();
    virtual void OnCancel();

    // Inside a handler from the message map: after the handler, leave the message to the window
    // system's own dialog handling as well.
    void Default() { m_passToDefault = true; }

    DECLARE_MESSAGE_MAP()

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleInitDialog();
    void CenterOverOwner() const;

    UINT m_templateId;
    CWnd* m_pParentWnd;
    bool m_passToDefault = false;
};
