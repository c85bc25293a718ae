#include "report/Report.h"

#include "report/Format.h"
#include "scsi/Hex.h"

namespace tessaly {
namespace {

constexpr const char kClosingLine[] = "#################################### ";
constexpr const char kSeparator[] = " ";

std::string DeviceLine(const CommandOutcome& outcome) {
    return FormatText("               Device Number: %d Path Number: %d",
                      static_cast<int>(outcome.device), static_cast<int>(outcome.path));
}

}  // namespace

void WriteStatusBlock(ReportSink& sink, MessageLookup& messages, const CommandOutcome& outcome) {
    const ReportRow& row = RowOf(outcome.command).report;
    if (row.statusHeading == nullptr) {
        return;
    }
    sink.AppendStatusLine(row.statusHeading);
    sink.AppendStatusLine(DeviceLine(outcome));
    if (outcome.result.success == 0) {
        if (row.failureLine == FailureLine::OperationFailed) {
            sink.AppendStatusLine("Operation failed");
        } else {
            sink.AppendStatusLine(FormatText(
                "Error: %d  ", static_cast<int>(static_cast<std::int32_t>(outcome.error))));
        }
        const auto text = messages.MessageFor(outcome.error);
        if (text && !text->empty() && text->size() <= MessageLookup::kMaxLength) {
            sink.AppendStatusLine(FormatText("%s\n", text->c_str()));
        }
    }
    sink.AppendStatusLine(FormatText("Scsi status: %02Xh, Bytes returned: %Xh, ",
                                     static_cast<unsigned>(outcome.request.ScsiStatus()),
                                     static_cast<unsigned>(outcome.result.bytesReturned)));
    sink.AppendStatusLine(FormatText("Data buffer length: %Xh\n\n\n",
                                     static_cast<unsigned>(outcome.request.DataTransferLength())));
    sink.AppendStatusLine(kClosingLine);
    sink.AppendStatusLine(kSeparator);
}

std::vector<std::string> HexDumpRows(std::span<const std::uint8_t> data, std::uint32_t length) {
    const std::size_t count = length < data.size() ? length : data.size();
    std::vector<std::string> rows;
    rows.reserve(count / 16 + 1);
    std::string row;
    bool firstByte = true;
    for (std::size_t i = 0; i < count; ++i) {
        // The first byte of the dump is " %02X", every later one "  %02X".
        row += firstByte ? " " : "  ";
        firstByte = false;
        scsi::AppendHex(row, data[i]);
        if (i % 16 == 15) {
            rows.push_back(row);
            row.clear();
        }
    }
    if (!row.empty()) {
        rows.push_back(row);
    }
    return rows;
}

void WriteDataLogBlock(ReportSink& sink, const CommandOutcome& outcome) {
    const ReportRow& row = RowOf(outcome.command).report;
    sink.AppendDataLogLine(row.banner);
    sink.AppendDataLogLine(kSeparator);
    sink.AppendDataLogLine(DeviceLine(outcome));
    sink.AppendDataLogLine("               ====================");
    sink.AppendDataLogLine(kHexDumpColumnHeader);
    if (row.setsLengthsCaption) {
        sink.SetLengthsCaption(
            FormatText("Length : %d, Returned : %d\n",
                       static_cast<int>(static_cast<std::int32_t>(outcome.result.dumpLength)),
                       static_cast<int>(static_cast<std::int32_t>(outcome.result.bytesReturned))));
    }
    sink.AppendDataLogLine(kSeparator);
    sink.AppendDataLogLine(
        "-------------------------------------------------------------------------");
    sink.AppendDataLogLine(kSeparator);
    for (const auto& dumpRow : HexDumpRows(outcome.request.DataArea(), outcome.result.dumpLength)) {
        sink.AppendDataLogLine(dumpRow);
    }
    sink.AppendDataLogLine(kClosingLine);
    sink.AppendDataLogLine(kSeparator);
}

void ShowKey(ReportSink& sink, const CurrentKey& key) {
    for (int n = 0; n < 8; ++n) {
        sink.SetKeyFieldText(n, FormatText("%x", static_cast<unsigned>(key.Bytes()[n])));
    }
}

}  // namespace tessaly
