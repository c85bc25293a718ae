// What the operations need of the dialog: the numbers as typed, the group mode, the two halves of
// the dialog to switch, a message box and the focus.
#pragma once

#include <string>

namespace tessaly {

// The Device Number and Path Number of the single step, as typed.
struct TypedNumbers {
    std::string device;
    std::string path;
};

// The group range and its path number, as typed.
struct TypedRange {
    std::string start;
    std::string end;
    std::string path;
};

class DialogPort {
  public:
    virtual ~DialogPort() = default;
    // The two numbers of the single step, read after the dialog's data exchange.
    virtual TypedNumbers SingleStepNumbers() = 0;
    // The group range and path, read after the dialog's data exchange, even while disabled.
    virtual TypedRange GroupRange() = 0;
    // The command list's selected index, -1 when none is selected.
    virtual int CommandSelection() = 0;
    // True unless the group check box is unchecked.
    virtual bool IsGroupMode() = 0;
    // The single-step controls: the two number edits, the command list and the key fields.
    virtual void EnableSingleStep(bool enable) = 0;
    // The group controls: the start, end and path edits.
    virtual void EnableGroup(bool enable) = 0;
    // A modal message box with an OK button and the exclamation icon, captioned with the
    // application name; returns when the user closes it.
    virtual void ShowMessage(const std::string& text) = 0;
    // Moves the keyboard focus to the Device Number edit.
    virtual void FocusDeviceNumber() = 0;
};

}  // namespace tessaly
