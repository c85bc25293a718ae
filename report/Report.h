// Turns a command's outcome into the lines of the two lists, the lengths caption and the texts of
// the eight key fields.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "core/PassThroughRequest.h"
#include "report/MessageLookup.h"
#include "report/ReportSink.h"

namespace tessaly {

// What a command leaves for its report.
struct CommandOutcome {
    Command command;
    std::uint32_t device;
    std::uint32_t path;
    const PassThroughRequest& request;  // as the control call left it
    const OperationResult& result;
    std::uint32_t error;  // the error number of a failed call
};

// The status block, for the commands whose row has one (READ KEYS, REGISTER and CLEAR).
void WriteStatusBlock(ReportSink& sink, MessageLookup& messages, const CommandOutcome& outcome);

// The data log block with the hex dump; it sets the lengths caption where the command's row says
// so (every command but READ KEYS).
void WriteDataLogBlock(ReportSink& sink, const CommandOutcome& outcome);

// Shows the key byte by byte in the eight key fields.
void ShowKey(ReportSink& sink, const CurrentKey& key);

// The column header above the rows of a hex dump.
inline constexpr const char kHexDumpColumnHeader[] =
    "00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F";

// The rows of the hex dump of the first `length` bytes of `data` (at most data.size()).
std::vector<std::string> HexDumpRows(std::span<const std::uint8_t> data, std::uint32_t length);

}  // namespace tessaly
