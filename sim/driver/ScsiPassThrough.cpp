#include "sim/driver/ScsiPassThrough.h"

#include "core/RequestLayout.h"

namespace vlkpath {
namespace {

using tessaly::LoadLe16;
using tessaly::LoadLe32;
using tessaly::LoadLe64;
using tessaly::StoreLe32;
namespace at = tessaly::block_offset;

constexpr std::uint32_t kMinCdbLength = 6;
constexpr std::uint32_t kMaxCdbLength = 16;

// [offset, offset + length) lies after the header and inside `limit` bytes.
bool AfterHeaderWithin(std::uint64_t offset, std::uint64_t length, std::uint32_t limit) {
    return offset >= kScsiHeaderSize && offset <= limit && length <= limit - offset;
}

std::uint32_t Max(std::uint32_t a, std::uint32_t b) {
    return a > b ? a : b;
}

}  // namespace

bool ReadScsiCall(bool direct, const std::uint8_t* buffer, std::uint32_t inputLength,
                  std::uint32_t outputLength, ScsiCall& call) {
    if (buffer == nullptr || inputLength < kScsiHeaderSize || outputLength < kScsiHeaderSize ||
        LoadLe16(buffer + at::kLength) != kScsiHeaderSize) {
        return false;
    }
    const std::uint32_t cdbLength = buffer[at::kCdbLength];
    const std::uint8_t direction = buffer[at::kDataIn];
    call = {};
    call.direct = direct;
    call.direction = static_cast<ScsiDirection>(direction);
    call.transferLength = LoadLe32(buffer + at::kDataTransferLength);
    call.data = LoadLe64(buffer + at::kDataBufferOffset);
    call.senseOffset = LoadLe32(buffer + at::kSenseInfoOffset);
    call.senseLength = buffer[at::kSenseInfoLength];
    call.inputLength = inputLength;
    call.outputLength = outputLength;
    if (cdbLength < kMinCdbLength || cdbLength > kMaxCdbLength || direction > 2 ||
        call.transferLength > kMaxTransferLength) {
        return false;
    }
    if (call.senseLength != 0 &&
        !AfterHeaderWithin(call.senseOffset, call.senseLength, outputLength)) {
        return false;
    }
    if (call.transferLength == 0) {
        return true;
    }
    if ((call.data & kDataAlignmentMask) != 0) {
        return false;
    }
    if (direct) {
        return call.data != 0;
    }
    const std::uint32_t room = call.direction == ScsiDirection::Out  ? inputLength
                               : call.direction == ScsiDirection::In ? outputLength
                               : inputLength < outputLength          ? inputLength
                                                                     : outputLength;
    return AfterHeaderWithin(call.data, call.transferLength, room);
}

std::uint32_t RunScsiCall(vlksim::DiskModel& model, std::uint32_t device, std::uint32_t path,
                          const ScsiCall& call, std::uint8_t* buffer, std::uint8_t* data) {
    // The command block is taken before anything is written into the buffer.
    std::uint8_t cdb[kMaxCdbLength];
    const std::uint32_t cdbLength = buffer[at::kCdbLength];
    for (std::uint32_t i = 0; i < cdbLength; ++i) {
        cdb[i] = buffer[at::kCdb + i];
    }
    for (std::uint32_t i = call.inputLength; i < call.outputLength; ++i) {
        buffer[i] = 0;
    }
    const bool takesIn = call.direction != ScsiDirection::Out;
    const bool givesOut = call.direction != ScsiDirection::In;
    const vlksim::DiskModel::ScsiOutcome outcome =
        model.Execute(device, vlksim::DiskModel::Nexus{false, path}, cdb, cdbLength,
                      givesOut ? data : nullptr, givesOut ? call.transferLength : 0,
                      takesIn ? data : nullptr, takesIn ? call.transferLength : 0);

    const std::uint32_t transferred =
        outcome.dataInLength != 0 ? outcome.dataInLength : outcome.dataOutLength;
    std::uint32_t senseWritten = 0;
    if (outcome.status == vlksim::kScsiCheckCondition) {
        senseWritten =
            outcome.senseLength < call.senseLength ? outcome.senseLength : call.senseLength;
        for (std::uint32_t i = 0; i < senseWritten; ++i) {
            buffer[call.senseOffset + i] = outcome.sense[i];
        }
    }
    buffer[at::kScsiStatus] = outcome.status;
    buffer[at::kSenseInfoLength] = static_cast<std::uint8_t>(senseWritten);
    StoreLe32(buffer + at::kDataTransferLength, transferred);

    std::uint32_t length = kScsiHeaderSize;
    if (senseWritten != 0) {
        length = Max(length, call.senseOffset + senseWritten);
    }
    if (!call.direct && outcome.dataInLength != 0) {
        length = Max(length, static_cast<std::uint32_t>(call.data) + outcome.dataInLength);
    }
    return length;
}

}  // namespace vlkpath
