// IOCTL_SCSI_PASS_THROUGH and IOCTL_SCSI_PASS_THROUGH_DIRECT on a disk object of the stand-in
// driver (one path of one disk): the header a 64-bit caller sends, checked the way Windows' port
// drivers check it, and the command run on the disk model with its status, sense and data placed
// where the caller asked. Freestanding: compiled into the driver and into native tests.
#pragma once

#include <cstdint>

#include "sim/model/DiskModel.h"

namespace vlkpath {

inline constexpr std::uint32_t kScsiPassThroughCode = 0x4D004;        // IOCTL_SCSI_PASS_THROUGH
inline constexpr std::uint32_t kScsiPassThroughDirectCode = 0x4D014;  // ..._DIRECT
// SCSI_PASS_THROUGH and SCSI_PASS_THROUGH_DIRECT of a 64-bit caller: Length, ScsiStatus (2),
// CdbLength (6), SenseInfoLength (7), DataIn (8), DataTransferLength (12), DataBufferOffset or
// DataBuffer (24, 8 bytes), SenseInfoOffset (32), Cdb (36, 16 bytes).
inline constexpr std::uint32_t kScsiHeaderSize = 56;
// What the disk objects' adapter asks of a transfer: its data (the buffered form's offset, the
// DIRECT form's pointer) on a multiple of four bytes, and at most 64 KiB of it.
inline constexpr std::uint32_t kDataAlignmentMask = 3;
inline constexpr std::uint32_t kMaxTransferLength = 64 * 1024;

enum class ScsiDirection : std::uint8_t { Out = 0, In = 1, Unspecified = 2 };

// A checked header.
struct ScsiCall {
    bool direct;
    ScsiDirection direction;
    std::uint32_t transferLength;
    std::uint64_t data;  // buffered: the data's offset in the buffer; DIRECT: the caller's pointer
    std::uint32_t senseOffset;
    std::uint32_t senseLength;
    std::uint32_t inputLength;
    std::uint32_t outputLength;
};

// Reads the header at the start of the system buffer, which holds `inputLength` bytes of input
// and has room for `outputLength` bytes of output. False when Windows answers
// STATUS_INVALID_PARAMETER: either length under the header's, a Length field other than 56,
// CdbLength outside 6..16, DataIn above 2, a transfer above 64 KiB, sense that does not lie
// after the header inside the output, buffered data that does not lie after the header inside
// the input (data-out), the output (data-in) or both (unspecified), data off the alignment, or a
// DIRECT transfer without a pointer.
bool ReadScsiCall(bool direct, const std::uint8_t* buffer, std::uint32_t inputLength,
                  std::uint32_t outputLength, ScsiCall& call);

// Runs a call that ReadScsiCall accepted on one path of one disk. `data` holds the transfer's
// bytes: the buffer at the call's offset, or the DIRECT form's pages mapped for the driver. Writes
// into the buffer the header's ScsiStatus, SenseInfoLength (the sense bytes written) and
// DataTransferLength (the bytes transferred), the sense at its offset (CHECK CONDITION only, as
// much as SenseInfoLength allowed), and zeros over the output bytes past the input that nothing
// else wrote. Returns the length of the output: the header, and the sense and buffered data-in
// when they were written.
std::uint32_t RunScsiCall(vlksim::DiskModel& model, std::uint32_t device, std::uint32_t path,
                          const ScsiCall& call, std::uint8_t* buffer, std::uint8_t* data);

}  // namespace vlkpath
