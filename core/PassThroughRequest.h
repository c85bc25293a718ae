// The 616-byte record exchanged with the VLK driver's control device: two little-endian numbers
// that pick the disk and its path, then a 64-bit SCSI_PASS_THROUGH block with its sense and data
// areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/RequestLayout.h"

namespace tessaly {

// SCSI_IOCTL_DATA_OUT and SCSI_IOCTL_DATA_IN.
enum class DataDirection : std::uint8_t { Out = 0, In = 1 };

inline constexpr std::size_t kCdbSize = 10;
inline constexpr std::size_t kParameterListSize = 24;

// Values every request carries in its header.
namespace request_value {
inline constexpr std::uint16_t kHeaderLength = request_layout::kHeaderSize;
inline constexpr std::uint8_t kTargetId = 1;
inline constexpr std::uint8_t kSenseInfoLength = 24;
inline constexpr std::uint32_t kDataTransferLength = 60;
inline constexpr std::uint32_t kTimeOutSeconds = 2;
inline constexpr std::uint64_t kDataBufferOffset = block_offset::kDataArea;
inline constexpr std::uint32_t kSenseInfoOffset = block_offset::kSenseArea;
}  // namespace request_value

class PassThroughRequest {
  public:
    static constexpr std::size_t kSize = request_layout::kRequestSize;
    static constexpr std::size_t kOutputOffset = request_offset::kHeader;
    static constexpr std::size_t kOutputSize = request_layout::kReplySize;
    static constexpr std::size_t kSenseAreaSize = request_layout::kSenseAreaSize;
    static constexpr std::size_t kDataAreaSize = request_layout::kDataAreaSize;

    using Cdb = std::span<const std::uint8_t, kCdbSize>;
    using ParameterList = std::span<const std::uint8_t, kParameterListSize>;

    // Builds a complete request, setting every one of its 616 bytes in this order: the two numbers,
    // zeros over offsets 8..615, the header, the command block, then the parameter list of a
    // PERSISTENT RESERVE OUT command (empty span otherwise). The dialog's commands all offer a
    // 60-byte transfer; a longer one (at most the data area) brings back a longer reply.
    PassThroughRequest(std::uint32_t device, std::uint32_t path, DataDirection direction, Cdb cdb,
                       std::span<const std::uint8_t> parameterList,
                       std::uint32_t transferLength = request_value::kDataTransferLength);

    // Any command, in the same order: a command block of 1 to 16 bytes (its length in the
    // header), the data to send (at most the data area), a transfer of at most the data area and
    // the timeout in seconds.
    PassThroughRequest(std::uint32_t device, std::uint32_t path, DataDirection direction,
                       std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> dataOut,
                       std::uint32_t transferLength, std::uint32_t timeoutSeconds);

    std::uint8_t* Bytes() { return bytes_; }
    const std::uint8_t* Bytes() const { return bytes_; }

    // Where the driver writes its reply: offsets 8..159.
    std::uint8_t* OutputArea() { return bytes_ + kOutputOffset; }

    // Reply fields, read after the exchange.
    std::uint8_t ScsiStatus() const { return bytes_[request_offset::kScsiStatus]; }
    std::uint32_t DataTransferLength() const;
    std::span<const std::uint8_t, kSenseAreaSize> SenseArea() const {
        return std::span<const std::uint8_t, kSenseAreaSize>(bytes_ + request_offset::kSenseArea,
                                                             kSenseAreaSize);
    }
    std::span<const std::uint8_t, kDataAreaSize> DataArea() const {
        return std::span<const std::uint8_t, kDataAreaSize>(bytes_ + request_offset::kDataArea,
                                                            kDataAreaSize);
    }

  private:
    void Fill(std::uint32_t device, std::uint32_t path, DataDirection direction,
              std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data,
              std::uint32_t transferLength, std::uint32_t timeoutSeconds);

    // Left uninitialised on purpose: the constructor writes every byte.
    std::uint8_t bytes_[kSize];
};

// The output length of the control call that brings back `transferLength` data bytes: the block
// up to the end of that part of the data area.
constexpr std::uint32_t OutputLength(std::uint32_t transferLength) {
    return block_offset::kDataArea + transferLength;
}

static_assert(sizeof(PassThroughRequest) == PassThroughRequest::kSize);
static_assert(request_value::kDataBufferOffset + request_value::kDataTransferLength ==
              PassThroughRequest::kOutputSize);

}  // namespace tessaly
