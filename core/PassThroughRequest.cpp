#include "core/PassThroughRequest.h"

#include <cstring>

namespace tessaly {

PassThroughRequest::PassThroughRequest(std::uint32_t device, std::uint32_t path,
                                       DataDirection direction, Cdb cdb,
                                       std::span<const std::uint8_t> parameterList,
                                       std::uint32_t transferLength) {
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
    StoreLe32(bytes_ + at::kDataTransferLength,
              transferLength < kDataAreaSize ? transferLength : kDataAreaSize);
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
