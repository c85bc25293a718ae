// The report path over any reply: one command function or a group clear, run through the
// operations over in-memory ports, where every control call answers with what the input says:
// any success or failure, error number, bytes-returned count, message text and 152 output bytes
// (SCSI status, lengths, sense and data among them).
//
// Input: command (0..4 the five command functions, 5 the group clear), flags (bit 0: the open
// failed; bit 1: numbers from the edits; bits 2..3: devices after the first in a group range),
// device and path (signed bytes), then one record per control call: kind (bit 0: success; bit 1: a
// failure writes the bytes-returned count; bit 2: a failure writes the output; bit 3: the system
// has a text for the error), error number and bytes returned (little-endian 32-bit), text length
// and text, 152 output bytes.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "core/DeviceChannel.h"
#include "fuzz/FuzzInput.h"
#include "testing/MemoryDialog.h"

namespace {

using tessaly::fuzz::FuzzInput;
using tessaly::testing::OpsBench;

constexpr int kMaxCalls = 12;  // a group range of four devices

void QueueAnswer(FuzzInput& in, OpsBench& bench, bool openFailed) {
    const std::uint8_t kind = in.Byte();
    const std::uint32_t error = in.Le32();
    const std::uint32_t bytesReturned = in.Le32();
    const std::string text(in.Text(in.Byte()));
    std::array<std::uint8_t, tessaly::kDumpLength> reply{};
    in.Bytes(reply.data(), reply.size());

    const auto writeReply = [reply](std::uint8_t* output, std::uint32_t outputLength) {
        std::memcpy(output, reply.data(), std::min<std::size_t>(outputLength, reply.size()));
    };
    if ((kind & 1) != 0) {
        bench.port.QueueReply(writeReply, bytesReturned);
    } else {
        bench.port.QueueFailure(
            error, (kind & 2) != 0 ? std::optional<std::uint32_t>(bytesReturned) : std::nullopt,
            (kind & 4) != 0 ? writeReply : tessaly::testing::MemoryDriverPort::ReplyWriter{});
    }
    if ((kind & 8) != 0) {
        // Calls on a channel whose open failed all end with the invalid-handle error.
        bench.messages.texts[openFailed ? tessaly::testing::kErrorInvalidHandle : error] = text;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int command = in.Byte() % 6;
    const std::uint8_t flags = in.Byte();
    const std::int32_t device = static_cast<std::int8_t>(in.Byte());
    const std::int32_t path = static_cast<std::int8_t>(in.Byte());

    const bool openFailed = (flags & 1) != 0;
    OpsBench bench(!openFailed);
    bench.dialog.numbers = {std::to_string(device), std::to_string(path)};
    bench.dialog.range = {std::to_string(device), std::to_string(device + ((flags >> 2) & 3)),
                          std::to_string(path)};
    for (int i = 0; i < kMaxCalls && !in.Empty(); ++i) {
        QueueAnswer(in, bench, openFailed);
    }

    const bool fromEdits = (flags & 2) != 0;
    switch (command) {
        case 0:
            bench.ops.ReadKeys(fromEdits, device, path);
            break;
        case 1:
            bench.ops.ReadReservation(fromEdits, device, path);
            break;
        case 2:
            bench.ops.RegisterDevice(fromEdits, device, path);
            break;
        case 3:
            bench.ops.ReserveDevice();
            break;
        case 4:
            bench.ops.ClearReservation(fromEdits, device, path);
            break;
        default:
            bench.ops.OnClearPrKeys();
            break;
    }
    return 0;
}
