// What one SG_IO ioctl tells, made into a scsi::Outcome: the SCSI status, the sense, the residual,
// and the statuses of the host adapter's driver and of the SCSI driver, whose failures are the
// transport's. Also the failures of the ioctl and of opening the device, by their errno. Plain
// functions of numbers, without a device.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "scsi/Target.h"

namespace tessaly::targets {

// A failure for want of privilege: the kernel lets only a process with CAP_SYS_RAWIO send
// PERSISTENT RESERVE IN and OUT through SG_IO (they are in neither of its lists of commands safe
// to send without it), and only root (or the disk group) open the nodes; either refusal ends
// FailureKind::Failed with the errno (EPERM, EACCES) as failureNumber and Fact::NoPermission().

// The fields of the sg_io_hdr that the ioctl wrote back.
struct SgioHeader {
    std::uint8_t status = 0;         // the SCSI status byte
    std::uint16_t hostStatus = 0;    // DID_...
    std::uint16_t driverStatus = 0;  // DRIVER_... in the low four bits, SUGGEST_... in the high
    std::uint8_t senseWritten = 0;   // sb_len_wr
    std::int32_t residual = 0;       // resid
    std::uint32_t durationMs = 0;
};

// "DID_TIME_OUT (the command timed out)"; "host status 0x2a" for a number it does not know.
std::string HostStatusText(std::uint16_t hostStatus);
// "DRIVER_TIMEOUT (...)", with SUGGEST_... where the high bits hold one.
std::string DriverStatusText(std::uint16_t driverStatus);

// The outcome of one SG_IO that the ioctl completed. `buffer` holds the data-in buffer the ioctl
// was given (empty for other directions), `sense` the sense buffer. A failure of the host or the
// driver is the transport's (Interrupted where the answer's fate is unknown: a timeout, an abort, a
// reset, a transport disrupted; NoDevice where the device could not be reached; Failed else),
// except where older kernels mark a status the device did send with a host status of their own
// (DID_NEXUS_FAILURE on RESERVATION CONFLICT, DID_TARGET_FAILURE, DID_ALLOC_FAILURE and
// DID_MEDIUM_ERROR on CHECK CONDITION): that is the device's answer.
scsi::Outcome OutcomeOfReply(const SgioHeader& header, std::span<const std::uint8_t> sense,
                             std::vector<std::uint8_t> buffer, const std::string& where);

// The outcome of a failed open or ioctl: `what` tells what failed ("SG_IO on /dev/sdc"), `sent`
// whether the command may have reached the kernel's queue.
scsi::Outcome OutcomeOfError(int error, const std::string& what, bool sent);

}  // namespace tessaly::targets
