// What a user action runs: the five command functions, the dispatch of the command list and the
// group clear over a range of devices.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "core/Pause.h"
#include "ops/DialogPort.h"
#include "report/MessageLookup.h"
#include "report/ReportSink.h"

namespace tessaly {

inline constexpr const char kInvalidNumbersMessage[] =
    "Please enter a valid value for Device Number and Path Number above.";
inline constexpr const char kInvalidSelectionMessage[] = "Invalid selection";

// The C runtime's atoi rule, the same on every platform: leading white space, one optional sign,
// digits up to the first non-digit with 32-bit wrap-around, 0 when there are no digits.
std::int32_t DecimalToInt32(std::string_view text);

class Operations {
  public:
    Operations(DialogPort& dialog, ReportSink& report, MessageLookup& messages, Pause& pause,
               DeviceChannel& channel, OperationResult& result, CurrentKey& key);

    // With fromEdits true the numbers come from the Device Number and Path Number edits and
    // device and path are ignored.
    void ReadKeys(bool fromEdits, std::int32_t device, std::int32_t path);
    void ReadReservation(bool fromEdits, std::int32_t device, std::int32_t path);
    void RegisterDevice(bool fromEdits, std::int32_t device, std::int32_t path);
    void ReserveDevice();
    void ClearReservation(bool fromEdits, std::int32_t device, std::int32_t path);

    // Runs the command of the command list's selected entry: the row at that index.
    void OnSelchangeCommand();
    // Switches the enabled state of the single-step and the group controls.
    void OnGroupCheck();
    // Reads, registers and clears every device of the group range on the group path.
    void OnClearPrKeys();

  private:
    void Run(Command command, bool fromEdits, std::int32_t device, std::int32_t path);

    DialogPort& dialog_;
    ReportSink& report_;
    MessageLookup& messages_;
    Pause& pause_;
    DeviceChannel& channel_;
    OperationResult& result_;
    CurrentKey& key_;
};

}  // namespace tessaly
