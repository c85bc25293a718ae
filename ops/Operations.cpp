#include "ops/Operations.h"

#include "ops/ControlIds.h"
#include "report/Report.h"

namespace tessaly {
namespace {

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The controls that the group check box switches, in the order they are switched: the first
// eleven belong to the single step, the last three to the group.
constexpr int kSingleStepControls[] = {IDC_DEVICE_NUMBER, IDC_PATH_NUMBER, IDC_COMMAND, IDC_KEY0,
                                       IDC_KEY1,          IDC_KEY2,        IDC_KEY3,    IDC_KEY4,
                                       IDC_KEY5,          IDC_KEY6,        IDC_KEY7};
constexpr int kGroupControls[] = {IDC_GROUP_START, IDC_GROUP_END, IDC_GROUP_PATH};

// Keeps the platform's pauses short for the length of a range.
class ShortPauses {
  public:
    explicit ShortPauses(Pause& pause) : pause_(pause) { pause_.BeginShortPauses(); }
    ~ShortPauses() { pause_.EndShortPauses(); }
    ShortPauses(const ShortPauses&) = delete;
    ShortPauses& operator=(const ShortPauses&) = delete;

  private:
    Pause& pause_;
};

}  // namespace

std::int32_t DecimalToInt32(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t value = 0;  // unsigned, so that overflow wraps instead of being undefined
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
        ++i;
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<std::int32_t>(value);
}

Operations::Operations(DialogPort& dialog, ReportSink& report, MessageLookup& messages,
                       Pause& pause, DeviceChannel& channel, OperationResult& result,
                       CurrentKey& key)
    : dialog_(dialog),
      report_(report),
      messages_(messages),
      pause_(pause),
      channel_(channel),
      result_(result),
      key_(key) {}

void Operations::ReadKeys(bool fromEdits, std::int32_t device, std::int32_t path) {
    Run(Command::ReadKeys, fromEdits, device, path);
}

void Operations::ReadReservation(bool fromEdits, std::int32_t device, std::int32_t path) {
    Run(Command::ReadReservation, fromEdits, device, path);
}

void Operations::RegisterDevice(bool fromEdits, std::int32_t device, std::int32_t path) {
    Run(Command::RegisterDevice, fromEdits, device, path);
}

void Operations::ReserveDevice() {
    Run(Command::ReserveDevice, true, 0, 0);
}

void Operations::ClearReservation(bool fromEdits, std::int32_t device, std::int32_t path) {
    Run(Command::ClearReservation, fromEdits, device, path);
}

void Operations::Run(Command command, bool fromEdits, std::int32_t device, std::int32_t path) {
    dialog_.UpdateData();
    if (fromEdits) {
        device = DecimalToInt32(dialog_.EditText(IDC_DEVICE_NUMBER));
        path = DecimalToInt32(dialog_.EditText(IDC_PATH_NUMBER));
    }
    const auto deviceNumber = static_cast<std::uint32_t>(device);
    const auto pathNumber = static_cast<std::uint32_t>(path);
    if (deviceNumber > kHighestDeviceNumber || pathNumber > kHighestPathNumber) {
        dialog_.ShowMessage(kInvalidNumbersMessage);
        dialog_.FocusDeviceNumber();
        return;
    }

    PassThroughRequest request = BuildCommandRequest(command, deviceNumber, pathNumber, key_);
    result_.dumpLength = kDumpLength;
    const std::uint32_t error = channel_.Send(request, result_);

    const CommandOutcome outcome{command, deviceNumber, pathNumber, request, result_, error};
    switch (command) {
        case Command::ReadKeys:
            WriteStatusBlock(report_, messages_, outcome);
            key_.CaptureFrom(request);
            ShowKey(report_, key_);
            break;
        case Command::ReadReservation:
            key_.CaptureFrom(request);
            ShowKey(report_, key_);
            break;
        case Command::RegisterDevice:
        case Command::ClearReservation:
            WriteStatusBlock(report_, messages_, outcome);
            break;
        case Command::ReserveDevice:
            break;
    }
    WriteDataLogBlock(report_, outcome);
}

void Operations::OnSelchangeCommand() {
    switch (dialog_.CommandSelection()) {
        case 0:
            ReadKeys(true, 0, 0);
            return;
        case 1:
            ReadReservation(true, 0, 0);
            return;
        case 2:
            RegisterDevice(true, 0, 0);
            return;
        case 3:
            ReserveDevice();
            return;
        case 4:
            ClearReservation(true, 0, 0);
            return;
        default:
            dialog_.ShowMessage(kInvalidSelectionMessage);
            return;
    }
}

void Operations::OnGroupCheck() {
    const bool groupMode = dialog_.IsGroupChecked();
    for (const int id : kSingleStepControls) {
        dialog_.EnableControl(id, !groupMode);
    }
    for (const int id : kGroupControls) {
        dialog_.EnableControl(id, groupMode);
    }
}

void Operations::OnClearPrKeys() {
    dialog_.UpdateData();
    const std::int32_t start = DecimalToInt32(dialog_.EditText(IDC_GROUP_START));
    const std::int32_t end = DecimalToInt32(dialog_.EditText(IDC_GROUP_END));
    const std::int32_t path = DecimalToInt32(dialog_.EditText(IDC_GROUP_PATH));
    if (start > end) {
        return;
    }
    const ShortPauses shortPauses(pause_);
    for (std::int32_t device = start;; ++device) {
        ReadReservation(false, device, path);
        pause_.Sleep(1);
        RegisterDevice(false, device, path);
        pause_.Sleep(1);
        ClearReservation(false, device, path);
        pause_.Sleep(1);
        if (device == end) {
            break;  // before the increment, so that the largest value ends the range too
        }
    }
}

}  // namespace tessaly
