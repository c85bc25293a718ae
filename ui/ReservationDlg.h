// The main dialog: the single-step and group controls, the two report lists and the eight key
// fields, over the channel to the VLK driver's control device.
#pragma once

#include <cstdint>
#include <string>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "ops/DialogPort.h"
#include "ops/Operations.h"
#include "report/ReportSink.h"
#include "ui/RedrawHold.h"
#include "ui/framework/Dialog.h"
#include "win32/Win32DriverPort.h"
#include "win32/Win32MessageLookup.h"
#include "win32/Win32Pause.h"

// The reservation key last read from any device: one for the whole program.
extern tessaly::CurrentKey theCurrentKey;

class CReservationDlg : public CDialog, public tessaly::DialogPort, public tessaly::ReportSink {
  public:
    // On the VLK driver's control device.
    CReservationDlg();
    // On another driver, for tests.
    explicit CReservationDlg(tessaly::DriverPort& driver);
    ~CReservationDlg() override;

    // The command functions of the command list (positions 0 to 4). With fromEdits true the
    // numbers come from the Device Number and Path Number edits.
    void ReadKeys(bool fromEdits, int device, int path);
    void ReadReservation(bool fromEdits, int device, int path);
    void RegisterDevice(bool fromEdits, int device, int path);
    void ReserveDevice();
    void ClearReservation(bool fromEdits, int device, int path);

    HICON Icon() const { return m_hIcon; }

    // tessaly::DialogPort
    tessaly::TypedNumbers SingleStepNumbers() override;
    tessaly::TypedRange GroupRange() override;
    int CommandSelection() override;
    bool IsGroupMode() override;
    void EnableSingleStep(bool enable) override;
    void EnableGroup(bool enable) override;
    void ShowMessage(const std::string& text) override;
    void FocusDeviceNumber() override;

    // tessaly::ReportSink
    void AppendStatusLine(const std::string& line) override;
    void AppendDataLogLine(const std::string& line) override;
    void SetLengthsCaption(const std::string& text) override;
    void SetKeyFieldText(int keyByte, const std::string& text) override;

  protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;

    void OnSysCommand(UINT id, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnSelchangeCommand();
    void OnGroupCheck();
    void OnClearPrKeys();

    DECLARE_MESSAGE_MAP()

  private:
    CReservationDlg(tessaly::DriverPort* driver);
    CEdit& KeyField(int keyByte);

    tessaly::win32::Win32DriverPort m_win32Driver;
    tessaly::DeviceChannel m_channel;
    tessaly::OperationResult m_result;
    HICON m_hIcon;

    CEdit m_deviceNumber;  // 1002
    CEdit m_pathNumber;    // 1003
    CEdit m_key0;          // 1001
    CComboBox m_command;   // 1000
    CListBox m_dataLog;    // 1008
    CEdit m_key1;          // 1009 .. 1015
    CEdit m_key2;
    CEdit m_key3;
    CEdit m_key4;
    CEdit m_key5;
    CEdit m_key6;
    CEdit m_key7;
    CListBox m_statusInfo;  // 1016
    CEdit m_groupStart;     // 1018
    CEdit m_groupEnd;       // 1019
    CButton m_groupCheck;   // 1017
    CEdit m_groupPath;      // 1004

    tessaly::win32::Win32MessageLookup m_messages;
    tessaly::win32::Win32Pause m_pause;
    tessaly::Operations m_operations;
    // The lists and key fields paint once a command or a group clear is done, not line by line.
    tessaly::ui::RedrawHold m_redraw;
};
