#include "ui/ReservationApp.h"

#include <commctrl.h>

#include "ui/ReservationDlg.h"
#include "ui/resource.h"

BEGIN_MESSAGE_MAP(CReservationApp, CWinApp)
ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

BOOL CReservationApp::InitInstance() {
    ::InitCommonControls();
    CWinApp::InitInstance();
    SetRegistryKey(kRegistryKeyName);
    {
        CReservationDlg dialog;
        m_pMainWnd = &dialog;
        // 1 after OK, 2 after Cancel, -1 when the dialog cannot be created: the program ends
        // the same way in every case.
        dialog.DoModal();
        m_pMainWnd = nullptr;
    }
    // No message loop follows: the program ends here.
    return FALSE;
}
