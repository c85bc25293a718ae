#include "ops/Operations.h"

#include "report/Report.h"

namespace tessaly {
namespace {

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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
    if (fromEdits) {
        const TypedNumbers typed = dialog_.SingleStepNumbers();
        device = DecimalToInt32(typed.device);
        path = DecimalToInt32(typed.path);
    }
    const auto deviceNumber = static_cast<std::uint32_t>(device);
    const auto pathNumber = static_cast<std::uint32_t>(path);
    if (deviceNumber > kHighestDevice || pathNumber > kHighestPath) {
        dialog_.ShowMessage(kInvalidNumbersMessage);
        dialog_.FocusDeviceNumber();
        return;
    }

    PassThroughRequest request = BuildCommandRequest(command, deviceNumber, pathNumber, key_);
    result_.dumpLength = kDumpLength;
    const std::uint32_t error = channel_.Send(request, result_);

    // The report, in the order the command's row gives: status block, key capture and display,
    // data log block.
    const ReportRow& row = RowOf(command).report;
    const CommandOutcome outcome{command, deviceNumber, pathNumber, request, result_, error};
    WriteStatusBlock(report_, messages_, outcome);
    if (row.capturesKey) {
        key_.CaptureFrom(request);
    }
    if (row.showsKey) {
        ShowKey(report_, key_);
    }
    WriteDataLogBlock(report_, outcome);
}

void Operations::OnSelchangeCommand() {
    const int index = dialog_.CommandSelection();
    if (index < 0 || index >= kListCommandCount) {
        dialog_.ShowMessage(kInvalidSelectionMessage);
        return;
    }
    // Every listed command reads its numbers from the edits.
    Run(static_cast<Command>(index), true, 0, 0);
}

void Operations::OnGroupCheck() {
    const bool groupMode = dialog_.IsGroupMode();
    dialog_.EnableSingleStep(!groupMode);
    dialog_.EnableGroup(groupMode);
}

void Operations::OnClearPrKeys() {
    const TypedRange typed = dialog_.GroupRange();
    const std::int32_t start = DecimalToInt32(typed.start);
    const std::int32_t end = DecimalToInt32(typed.end);
    const std::int32_t path = DecimalToInt32(typed.path);
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
