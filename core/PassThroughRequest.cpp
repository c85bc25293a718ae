#include "core/PassThroughRequest.h"

#include <cstring>

namespace tessaly {

PassThroughRequest::PassThroughRequest(std::uint32_t device, std::uint32_t path,
                                       DataDirection direction, Cdb cdb,
                                       std::span<const std::uint8_t> parameterList,
                                       std::uint32_t transferLength) {
    Fill(device, path, direction, cdb,
         parameterList.first(parameterList.size() < kParameterListSize ? parameterList.size()
                                                                       : kParameterListSize),
         transferLength, request_value::kTimeOutSeconds);
}

PassThroughRequest::PassThroughRequest(std::uint32_t device, std::uint32_t path,
                                       DataDirection direction, std::span<const std::uint8_t> cdb,
                                       std::span<const std::uint8_t> dataOut,
                                       std::uint32_t transferLength, std::uint32_t timeoutSeconds) {
    Fill(device, path, direction,
         cdb.first(cdb.size() < request_layout::kCdbFieldSize ? cdb.size()
                                                              : request_layout::kCdbFieldSize),
         dataOut.first(dataOut.size() < kDataAreaSize ? dataOut.size() : kDataAreaSize),
         transferLength, timeoutSeconds);
}

void PassThroughRequest::Fill(std::uint32_t device, std::uint32_t path, DataDirection direction,
                              std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data,
                              std::uint32_t transferLength, std::uint32_t timeoutSeconds) {
    namespace at = request_offset;
    namespace v = request_value;

    StoreLe32(bytes_ + at::kDeviceNumber, device);
    StoreLe32(bytes_ + at::kPathNumber, path);
    std::memset(bytes_ + at::kHeader, 0, kSize - at::kHeader);

    StoreLe16(bytes_ + at::kLength, v::kHeaderLength);
    bytes_[at::kTargetId] = v::kTargetId;
    bytes_[at::kCdbLength] = static_cast<std::uint8_t>(cdb.size());
    bytes_[at::kSenseInfoLength] = v::kSenseInfoLength;
    bytes_[at::kDataIn] = static_cast<std::uint8_t>(direction);
    StoreLe32(bytes_ + at::kDataTransferLength,
              transferLength < kDataAreaSize ? transferLength : kDataAreaSize);
    StoreLe32(bytes_ + at::kTimeOutValue, timeoutSeconds);
    StoreLe64(bytes_ + at::kDataBufferOffset, v::kDataBufferOffset);
    StoreLe32(bytes_ + at::kSenseInfoOffset, v::kSenseInfoOffset);

    std::memcpy(bytes_ + at::kCdb, cdb.data(), cdb.size());

    if (!data.empty()) {
        std::memcpy(bytes_ + at::kDataArea, data.data(), data.size());
    }
}

std::uint32_t PassThroughRequest::DataTransferLength() const {
    return LoadLe32(bytes_ + request_offset::kDataTransferLength);
}

}  // namespace tessaly
