// The byte layout of the 616-byte request exchanged with the VLK driver's control device, and the
// little-endian access to its integer fields. The program, the disk model and the kernel driver
// all read it from here, so nothing beyond <cstdint> and <cstddef> may be needed.
//
// The request: the device number and the path number (4 bytes each), then a SCSI_PASS_THROUGH
// block in its 64-bit form: the 56-byte header, a filler, the sense area, the data area and the
// tail. The header's two offset fields count from the header's first byte, as does the output of
// the control call, which starts there too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaly {

// The device and path numbers a request may carry, as the driver's administration command lists
// them: devices 0 to 100, each with paths 0 to 32.
inline constexpr std::uint32_t kHighestDevice = 100;
inline constexpr std::uint32_t kHighestPath = 32;

// Sizes: the request, the header, its command block field, the sense and the data area, and the
// pass-through block (the request from offset 8: the longest output of the control call).
namespace request_layout {
inline constexpr std::uint32_t kRequestSize = 616, kHeaderSize = 56, kCdbFieldSize = 16;
inline constexpr std::uint32_t kSenseAreaSize = 32, kDataAreaSize = 512;
inline constexpr std::uint32_t kPassThroughBlockSize = kRequestSize - 8;
// The output the dialog asks for, and every driver must take: the header, filler, sense area and
// the first 60 bytes of the data area.
inline constexpr std::uint32_t kReplySize = 152;
}  // namespace request_layout

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

// The one control code of the VLK driver's control device: 0x84C9C190.
inline constexpr std::uint32_t IOCTL_PATH_PASS_THROUGH = ComposeControlCode(
    kVlkDeviceType, kPathPassThroughFunction, kMethodBuffered, kFileReadAccess | kFileWriteAccess);

// Offsets inside the pass-through block, counted from its header.
namespace block_offset {
inline constexpr std::uint32_t kLength = 0;
inline constexpr std::uint32_t kScsiStatus = 2;
inline constexpr std::uint32_t kPathId = 3;
inline constexpr std::uint32_t kTargetId = 4;
inline constexpr std::uint32_t kLun = 5;
inline constexpr std::uint32_t kCdbLength = 6;
inline constexpr std::uint32_t kSenseInfoLength = 7;
inline constexpr std::uint32_t kDataIn = 8;
inline constexpr std::uint32_t kDataTransferLength = 12;
inline constexpr std::uint32_t kTimeOutValue = 16;
inline constexpr std::uint32_t kDataBufferOffset = 24;
inline constexpr std::uint32_t kSenseInfoOffset = 32;
inline constexpr std::uint32_t kCdb = 36;
inline constexpr std::uint32_t kSenseArea = 60;  // after the header and a 4-byte filler
inline constexpr std::uint32_t kDataArea = kSenseArea + request_layout::kSenseAreaSize;
inline constexpr std::uint32_t kTail = kDataArea + request_layout::kDataAreaSize;
}  // namespace block_offset

// Offsets inside the request, counted from its first byte.
namespace request_offset {
inline constexpr std::uint32_t kDeviceNumber = 0;
inline constexpr std::uint32_t kPathNumber = 4;
inline constexpr std::uint32_t kHeader = 8;
inline constexpr std::uint32_t kLength = kHeader + block_offset::kLength;
inline constexpr std::uint32_t kScsiStatus = kHeader + block_offset::kScsiStatus;
inline constexpr std::uint32_t kPathId = kHeader + block_offset::kPathId;
inline constexpr std::uint32_t kTargetId = kHeader + block_offset::kTargetId;
inline constexpr std::uint32_t kLun = kHeader + block_offset::kLun;
inline constexpr std::uint32_t kCdbLength = kHeader + block_offset::kCdbLength;
inline constexpr std::uint32_t kSenseInfoLength = kHeader + block_offset::kSenseInfoLength;
inline constexpr std::uint32_t kDataIn = kHeader + block_offset::kDataIn;
inline constexpr std::uint32_t kDataTransferLength = kHeader + block_offset::kDataTransferLength;
inline constexpr std::uint32_t kTimeOutValue = kHeader + block_offset::kTimeOutValue;
inline constexpr std::uint32_t kDataBufferOffset = kHeader + block_offset::kDataBufferOffset;
inline constexpr std::uint32_t kSenseInfoOffset = kHeader + block_offset::kSenseInfoOffset;
inline constexpr std::uint32_t kCdb = kHeader + block_offset::kCdb;
inline constexpr std::uint32_t kSenseArea = kHeader + block_offset::kSenseArea;
inline constexpr std::uint32_t kDataArea = kHeader + block_offset::kDataArea;
inline constexpr std::uint32_t kTail = kHeader + block_offset::kTail;
}  // namespace request_offset

static_assert(request_offset::kTail + 4 == request_layout::kRequestSize);
static_assert(block_offset::kCdb + request_layout::kCdbFieldSize + 4 ==
              request_layout::kHeaderSize);

constexpr std::uint16_t LoadLe16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

constexpr std::uint32_t LoadLe32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

constexpr std::uint64_t LoadLe64(const std::uint8_t* at) {
    return static_cast<std::uint64_t>(LoadLe32(at)) |
           (static_cast<std::uint64_t>(LoadLe32(at + 4)) << 32);
}

constexpr void StoreLe16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void StoreLe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

constexpr void StoreLe64(std::uint8_t* at, std::uint64_t value) {
    StoreLe32(at, static_cast<std::uint32_t>(value));
    StoreLe32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace tessaly
