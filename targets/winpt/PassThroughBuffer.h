// The buffer of one IOCTL_SCSI_PASS_THROUGH (or _DIRECT) call of a 64-bit program, as bytes: the
// SCSI_PASS_THROUGH header, the sense area and, in the buffered form, the data. Portable, so that
// the layout and the reading of the reply are tested natively too; PassThroughTarget.cpp checks
// every offset against the platform's own structures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scsi/Target.h"

namespace tessaly::targets::winpt {

// The header: SCSI_PASS_THROUGH and SCSI_PASS_THROUGH_DIRECT are both 56 bytes on x64, the data
// field (an offset, or the DIRECT form's pointer) 8 bytes at 24.
namespace field {
inline constexpr std::uint32_t kLength = 0, kScsiStatus = 2, kCdbLength = 6, kSenseInfoLength = 7,
                               kDataIn = 8, kDataTransferLength = 12, kTimeOutValue = 16,
                               kDataBuffer = 24, kSenseInfoOffset = 32, kCdb = 36;
}  // namespace field
inline constexpr std::uint32_t kHeaderSize = 56;
inline constexpr std::uint32_t kCdbFieldSize = 16;
// The sense area right after the header, as long as SenseInfoLength can say: descriptor-format
// sense with several descriptors fits whole.
inline constexpr std::uint32_t kSenseOffset = kHeaderSize;
inline constexpr std::uint32_t kSenseLength = 255;
// The data after the sense area, on a multiple of 16 bytes: Windows asks 8 of the data buffer,
// and a port driver's system buffer starts on 16, so the data's address is 16-aligned too.
inline constexpr std::uint32_t kDataOffset = (kSenseOffset + kSenseLength + 15) / 16 * 16;
// The most data one command carries either way (64 KiB, what the stand-in's adapter and most
// Windows adapters take in one transfer).
inline constexpr std::uint32_t kMaxData = 64 * 1024;

// SCSI_IOCTL_DATA_OUT, _IN, _UNSPECIFIED.
inline constexpr std::uint8_t kDataOut = 0, kDataIn = 1, kDataUnspecified = 2;

class PassThroughBuffer {
  public:
    // Lays out `request`. The buffered form (`directData` null) carries the data inside the
    // buffer; the DIRECT form at `directData`, which must hold kMaxData bytes and outlive the
    // call. Refuses, with the reason, a request that the call cannot carry: a command block
    // outside 6..16 bytes, more than kMaxData bytes of data either way.
    bool Prepare(const scsi::Request& request, std::uint8_t* directData, std::string& why);

    std::uint8_t* Bytes() { return bytes_.data(); }
    // The call's input (the header, the sense area, buffered data-out) and output (the header,
    // the sense area, buffered data-in) lengths.
    std::uint32_t InputLength() const { return input_; }
    std::uint32_t OutputLength() const { return output_; }

    // The outcome of a call that succeeded with `bytesReturned`: the header's status; the sense
    // on CHECK CONDITION, SenseInfoLength long (the bytes written); the data-in the header's
    // DataTransferLength says came, and the residual. BadReply when the reply cannot be
    // trusted: shorter than the header, or not reaching the sense or data it describes, or more
    // data than was asked for.
    scsi::Outcome Read(std::uint32_t bytesReturned) const;

  private:
    std::vector<std::uint8_t> bytes_;
    std::uint8_t* directData_ = nullptr;
    scsi::Direction direction_ = scsi::Direction::None;
    std::uint32_t asked_ = 0;  // data-in bytes
    std::uint32_t input_ = 0;
    std::uint32_t output_ = 0;
};

}  // namespace tessaly::targets::winpt
