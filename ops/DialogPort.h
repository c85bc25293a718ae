// What the operations need of the dialog and of the platform around it.
#pragma once

#include <cstdint>
#include <string>

namespace tessaly {

class DialogPort {
  public:
    virtual ~DialogPort() = default;
    // The dialog's data exchange in the save direction.
    virtual void UpdateData() = 0;
    // The whole text of an edit (IDC_DEVICE_NUMBER, IDC_PATH_NUMBER, IDC_GROUP_START,
    // IDC_GROUP_END, IDC_GROUP_PATH), read even when the edit is disabled.
    virtual std::string EditText(int controlId) = 0;
    // The command list's selected index, -1 when none is selected.
    virtual int CommandSelection() = 0;
    // True unless the group check box is unchecked.
    virtual bool IsGroupChecked() = 0;
    virtual void EnableControl(int controlId, bool enable) = 0;
    // A modal message box with an OK button and the exclamation icon, captioned with the
    // application name; returns when the user closes it.
    virtual void ShowMessage(const std::string& text) = 0;
    // Moves the keyboard focus to the Device Number edit.
    virtual void FocusDeviceNumber() = 0;
};

// The pauses of the group clear.
class Pause {
  public:
    virtual ~Pause() = default;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    // Bracket a run of short pauses, so that the platform can make them precise.
    virtual void BeginShortPauses() {}
    virtual void EndShortPauses() {}
};

}  // namespace tessaly
