#include "ui/ReservationDlg.h"

#include <cstdio>

#include "ui/AboutDlg.h"
#include "ui/IconPlacement.h"
#include "ui/framework/WinApp.h"
#include "ui/resource.h"

tessaly::CurrentKey theCurrentKey;

BEGIN_MESSAGE_MAP(CReservationDlg, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_CBN_SELCHANGE(IDC_COMMAND, OnSelchangeCommand)
ON_BN_CLICKED(IDC_GROUP_CHECK, OnGroupCheck)
ON_BN_CLICKED(IDC_CLEAR_PR_KEYS, OnClearPrKeys)
END_MESSAGE_MAP()

CReservationDlg::CReservationDlg() : CReservationDlg(nullptr) {}

CReservationDlg::CReservationDlg(tessaly::DriverPort& driver) : CReservationDlg(&driver) {}

CReservationDlg::CReservationDlg(tessaly::DriverPort* driver)
    : CDialog(IDD_TESSALY_DIALOG),
      m_channel(driver != nullptr ? *driver : m_win32Driver),
      m_hIcon(::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_operations(*this, *this, m_messages, m_pause, m_channel, m_result, theCurrentKey) {}

CReservationDlg::~CReservationDlg() {
    m_channel.Close();
}

void CReservationDlg::DoDataExchange(CDataExchange* dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_DEVICE_NUMBER, m_deviceNumber);
    DDX_Control(dx, IDC_PATH_NUMBER, m_pathNumber);
    DDX_Control(dx, IDC_KEY0, m_key0);
    DDX_Control(dx, IDC_COMMAND, m_command);
    DDX_Control(dx, IDC_DATA_LOG, m_dataLog);
    DDX_Control(dx, IDC_KEY1, m_key1);
    DDX_Control(dx, IDC_KEY2, m_key2);
    DDX_Control(dx, IDC_KEY3, m_key3);
    DDX_Control(dx, IDC_KEY4, m_key4);
    DDX_Control(dx, IDC_KEY5, m_key5);
    DDX_Control(dx, IDC_KEY6, m_key6);
    DDX_Control(dx, IDC_KEY7, m_key7);
    DDX_Control(dx, IDC_STATUS_INFO, m_statusInfo);
    DDX_Control(dx, IDC_GROUP_START, m_groupStart);
    DDX_Control(dx, IDC_GROUP_END, m_groupEnd);
    DDX_Control(dx, IDC_GROUP_CHECK, m_groupCheck);
    DDX_Control(dx, IDC_GROUP_PATH, m_groupPath);
}

BOOL CReservationDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    m_redraw.Attach({m_statusInfo.m_hWnd, m_dataLog.m_hWnd, m_key0.m_hWnd, m_key1.m_hWnd,
                     m_key2.m_hWnd, m_key3.m_hWnd, m_key4.m_hWnd, m_key5.m_hWnd, m_key6.m_hWnd,
                     m_key7.m_hWnd});

    // The About entry at the end of the system menu.
    if (HMENU systemMenu = ::GetSystemMenu(m_hWnd, FALSE); systemMenu != nullptr) {
        const std::string about = AfxLoadString(IDS_ABOUTBOX);
        if (!about.empty()) {
            ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    if (!m_channel.Open()) {
        char text[128];
        std::snprintf(text, sizeof text, "Error opening %s. Error: %d\n", m_channel.DeviceName(),
                      static_cast<int>(m_channel.OpenError()));
        AfxMessageBox(text);
        return TRUE;
    }

    m_groupStart.EnableWindow(FALSE);
    m_groupEnd.EnableWindow(FALSE);
    m_groupPath.EnableWindow(FALSE);
    m_command.ResetContent();
    for (int index = 0; index < tessaly::kListCommandCount; ++index) {
        m_command.AddString(tessaly::kCommands[static_cast<std::size_t>(index)].listText);
    }
    // The window system gives the focus to the first tab stop.
    return TRUE;
}

void CReservationDlg::OnSysCommand(UINT id, LPARAM) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
    } else {
        Default();
    }
}

void CReservationDlg::OnPaint() {
    if (!::IsIconic(m_hWnd)) {
        Default();
        return;
    }
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(m_hWnd, &paint);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int iconWidth = ::GetSystemMetrics(SM_CXICON);
    const int iconHeight = ::GetSystemMetrics(SM_CYICON);
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    const int x = tessaly::ui::IconOrigin(client.right - client.left, iconWidth);
    const int y = tessaly::ui::IconOrigin(client.bottom - client.top, iconHeight);
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &paint);
}

HCURSOR CReservationDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}

void CReservationDlg::ReadKeys(bool fromEdits, int device, int path) {
    m_operations.ReadKeys(fromEdits, device, path);
}

void CReservationDlg::ReadReservation(bool fromEdits, int device, int path) {
    m_operations.ReadReservation(fromEdits, device, path);
}

void CReservationDlg::RegisterDevice(bool fromEdits, int device, int path) {
    m_operations.RegisterDevice(fromEdits, device, path);
}

void CReservationDlg::ReserveDevice() {
    m_operations.ReserveDevice();
}

void CReservationDlg::ClearReservation(bool fromEdits, int device, int path) {
    m_operations.ClearReservation(fromEdits, device, path);
}

void CReservationDlg::OnSelchangeCommand() {
    const tessaly::ui::RedrawHold::Scope hold(m_redraw);
    m_operations.OnSelchangeCommand();
}

void CReservationDlg::OnGroupCheck() {
    m_operations.OnGroupCheck();
}

void CReservationDlg::OnClearPrKeys() {
    const tessaly::ui::RedrawHold::Scope hold(m_redraw);
    m_operations.OnClearPrKeys();
}

tessaly::TypedNumbers CReservationDlg::SingleStepNumbers() {
    UpdateData(TRUE);
    tessaly::TypedNumbers typed;
    typed.device = m_deviceNumber.GetWindowText();
    typed.path = m_pathNumber.GetWindowText();
    return typed;
}

tessaly::TypedRange CReservationDlg::GroupRange() {
    UpdateData(TRUE);
    tessaly::TypedRange typed;
    typed.start = m_groupStart.GetWindowText();
    typed.end = m_groupEnd.GetWindowText();
    typed.path = m_groupPath.GetWindowText();
    return typed;
}

int CReservationDlg::CommandSelection() {
    return m_command.GetCurSel();
}

bool CReservationDlg::IsGroupMode() {
    return m_groupCheck.GetCheck() != BST_UNCHECKED;
}

void CReservationDlg::EnableSingleStep(bool enable) {
    // In this order: the two number edits, the command list, the key fields in key byte order.
    CWnd* const controls[] = {&m_deviceNumber, &m_pathNumber, &m_command, &m_key0, &m_key1, &m_key2,
                              &m_key3,         &m_key4,       &m_key5,    &m_key6, &m_key7};
    for (CWnd* control : controls) {
        control->EnableWindow(enable ? TRUE : FALSE);
    }
}

void CReservationDlg::EnableGroup(bool enable) {
    CWnd* const controls[] = {&m_groupStart, &m_groupEnd, &m_groupPath};
    for (CWnd* control : controls) {
        control->EnableWindow(enable ? TRUE : FALSE);
    }
}

void CReservationDlg::ShowMessage(const std::string& text) {
    // The lists behind the box show every line so far, and repaint where the box was.
    const tessaly::ui::RedrawHold::Interruption box(m_redraw);
    AfxMessageBox(text.c_str());
}

void CReservationDlg::FocusDeviceNumber() {
    m_deviceNumber.SetFocus();
}

void CReservationDlg::AppendStatusLine(const std::string& line) {
    m_statusInfo.AddString(line.c_str());
}

void CReservationDlg::AppendDataLogLine(const std::string& line) {
    m_dataLog.AddString(line.c_str());
}

void CReservationDlg::SetLengthsCaption(const std::string& text) {
    m_redraw.SetText(m_statusInfo.m_hWnd, text);
}

void CReservationDlg::SetKeyFieldText(int keyByte, const std::string& text) {
    m_redraw.SetText(KeyField(keyByte).m_hWnd, text);
}

CEdit& CReservationDlg::KeyField(int keyByte) {
    CEdit* const fields[] = {&m_key0, &m_key1, &m_key2, &m_key3,
                             &m_key4, &m_key5, &m_key6, &m_key7};
    return *fields[keyByte & 7];
}
