// Window objects: a window handle with the few operations the program uses, and the control
// classes that a dialog binds to its controls by id.
#pragma once

#include <windows.h>

#include <string>

#include "ui/framework/CmdTarget.h"

class CWnd : public CCmdTarget {
  public:
    HWND m_hWnd = nullptr;

    std::string GetWindowText() const;
    void SetWindowText(const char* text) const { ::SetWindowTextA(m_hWnd, text); }
    BOOL EnableWindow(BOOL enable) const { return ::EnableWindow(m_hWnd, enable); }
    HWND SetFocus() const { return ::SetFocus(m_hWnd); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
};

class CEdit : public CWnd {};

class CComboBox : public CWnd {
  public:
    int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL)); }
    void ResetContent() const { SendMessage(CB_RESETCONTENT); }
    int AddString(const char* text) const {
        return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
    }
};

class CListBox : public CWnd {
  public:
    int AddString(const char* text) const {
        return static_cast<int>(SendMessage(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
    }
};

class CButton : public CWnd {
  public:
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
};

// The direction of one data exchange and the dialog it runs on.
class CDataExchange {
  public:
    CDataExchange(CWnd* dialog, BOOL saveAndValidate)
        : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Binds `control` to the dialog's control `id`. A control that is already bound stays as it is.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
