#include "core/PassThroughRequest.h"

#include <cstring>

namespace tessaly {

void StoreLe16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void StoreLe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void StoreLe64(std::uint8_t* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t LoadLe32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

PassThroughRequest::PassThroughRequest(std::uint32_t device, std::uint32_t path,
                                       DataDirection direction, Cdb cdb,
                                       std::span<const std::uint8_t> parameterList) {
    namespace at = request_offset;
    namespace v = request_value;

    StoreLe32(bytes_ + at::kDeviceNumber, device);
    StoreLe32(bytes_ + at::kPathNumber, path);
    std::memset(bytes_ + at::kHeader, 0, kSize - at::kHeader);

    StoreLe16(bytes_ + at::kLength, v::kHeaderLength);
    bytes_[at::kTargetId] = v::kTargetId;
    bytes_[at::kCdbLength] = v::kCdbLength;
    bytes_[at::kSenseInfoLength] = v::kSenseInfoLength;
    bytes_[at::kDataIn] = static_cast<std::uint8_t>(direction);
    StoreLe32(bytes_ + at::kDataTransferLength, v::kDataTransferLength);
    StoreLe32(bytes_ + at::kTimeOutValue, v::kTimeOutSeconds);
    StoreLe64(bytes_ + at::kDataBufferOffset, v::kDataBufferOffset);
    StoreLe32(bytes_ + at::kSenseInfoOffset, v::kSenseInfoOffset);

    std::memcpy(bytes_ + at::kCdb, cdb.data(), cdb.size());

    if (!parameterList.empty()) {
        const std::size_t n =
            parameterList.size() < kParameterListSize ? parameterList.size() : kParameterListSize;
        std::memcpy(bytes_ + at::kDataArea, parameterList.data(), n);
    }
}

std::uint32_t PassThroughRequest::DataTransferLength() const {
    return LoadLe32(bytes_ + request_offset::kDataTransferLength);
}

}  // namespace tessaly
