// The 616-byte record exchanged with the VLK driver's control device: two little-endian numbers
// that pick the disk and its path, then a 64-bit SCSI_PASS_THROUGH block with its sense and data
// areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaly {

// The platform's CTL_CODE rule: device type in bits 31..16, access in 15..14, function in 13..2,
// transfer method in 1..0.
constexpr std::uint32_t ComposeControlCode(std::uint32_t deviceType, std::uint32_t function,
                                           std::uint32_t method, std::uint32_t access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

inline constexpr std::uint32_t kMethodBuffered = 0;
inline constexpr std::uint32_t kFileReadAccess = 1;
inline constexpr std::uint32_t kFileWriteAccess = 2;
inline constexpr std::uint32_t kVlkDeviceType = 0x84C9;
inline constexpr std::uint32_t kPathPassThroughFunction = 0x64;

inline constexpr std::uint32_t IOCTL_PATH_PASS_THROUGH = ComposeControlCode(
    kVlkDeviceType, kPathPassThroughFunction, kMethodBuffered, kFileReadAccess | kFileWriteAccess);

// SCSI_IOCTL_DATA_OUT and SCSI_IOCTL_DATA_IN.
enum class DataDirection : std::uint8_t { Out = 0, In = 1 };

inline constexpr std::size_t kCdbSize = 10;
inline constexpr std::size_t kParameterListSize = 24;

// Byte offsets inside the request. The header's two offset fields count from the header, which
// starts at kHeader.
namespace request_offset {
inline constexpr std::size_t kDeviceNumber = 0;
inline constexpr std::size_t kPathNumber = 4;
inline constexpr std::size_t kHeader = 8;
inline constexpr std::size_t kLength = 8;
inline constexpr std::size_t kScsiStatus = 10;
inline constexpr std::size_t kPathId = 11;
inline constexpr std::size_t kTargetId = 12;
inline constexpr std::size_t kLun = 13;
inline constexpr std::size_t kCdbLength = 14;
inline constexpr std::size_t kSenseInfoLength = 15;
inline constexpr std::size_t kDataIn = 16;
inline constexpr std::size_t kDataTransferLength = 20;
inline constexpr std::size_t kTimeOutValue = 24;
inline constexpr std::size_t kDataBufferOffset = 32;
inline constexpr std::size_t kSenseInfoOffset = 40;
inline constexpr std::size_t kCdb = 44;
inline constexpr std::size_t kSenseArea = 68;
inline constexpr std::size_t kDataArea = 100;
inline constexpr std::size_t kTail = 612;
}  // namespace request_offset

// Values every request carries in its header.
namespace request_value {
inline constexpr std::uint16_t kHeaderLength = 56;
inline constexpr std::uint8_t kTargetId = 1;
inline constexpr std::uint8_t kCdbLength = 10;
inline constexpr std::uint8_t kSenseInfoLength = 24;
inline constexpr std::uint32_t kDataTransferLength = 60;
inline constexpr std::uint32_t kTimeOutSeconds = 2;
inline constexpr std::uint64_t kDataBufferOffset =
    request_offset::kDataArea - request_offset::kHeader;
inline constexpr std::uint32_t kSenseInfoOffset =
    request_offset::kSenseArea - request_offset::kHeader;
}  // namespace request_value

class PassThroughRequest {
  public:
    static constexpr std::size_t kSize = 616;
    static constexpr std::size_t kOutputOffset = request_offset::kHeader;
    static constexpr std::size_t kOutputSize = 152;
    static constexpr std::size_t kSenseAreaSize = 32;
    static constexpr std::size_t kDataAreaSize = 512;

    using Cdb = std::span<const std::uint8_t, kCdbSize>;
    using ParameterList = std::span<const std::uint8_t, kParameterListSize>;

    // Builds a complete request, setting every one of its 616 bytes in this order: the two numbers,
    // zeros over offsets 8..615, the header, the command block, then the parameter list of a
    // PERSISTENT RESERVE OUT command (empty span otherwise).
    PassThroughRequest(std::uint32_t device, std::uint32_t path, DataDirection direction, Cdb cdb,
                       std::span<const std::uint8_t> parameterList);

    std::uint8_t* Bytes() { return bytes_; }
    const std::uint8_t* Bytes() const { return bytes_; }

    // Where the driver writes its reply: offsets 8..159.
    std::uint8_t* OutputArea() { return bytes_ + kOutputOffset; }

    // Reply fields, read after the exchange.
    std::uint8_t ScsiStatus() const { return bytes_[request_offset::kScsiStatus]; }
    std::uint32_t DataTransferLength() const;
    std::span<const std::uint8_t, kDataAreaSize> DataArea() const {
        return std::span<const std::uint8_t, kDataAreaSize>(bytes_ + request_offset::kDataArea,
                                                            kDataAreaSize);
    }

  private:
    // Left uninitialised on purpose: the constructor writes every byte.
    std::uint8_t bytes_[kSize];
};

static_assert(sizeof(PassThroughRequest) == PassThroughRequest::kSize);
static_assert(request_value::kDataBufferOffset + request_value::kDataTransferLength ==
              PassThroughRequest::kOutputSize);

// Little-endian access to the record's integer fields.
void StoreLe16(std::uint8_t* at, std::uint16_t value);
void StoreLe32(std::uint8_t* at, std::uint32_t value);
void StoreLe64(std::uint8_t* at, std::uint64_t value);
std::uint32_t LoadLe32(const std::uint8_t* at);

}  // namespace tessaly
