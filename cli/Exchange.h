// One persistent-reservation command on one target, as the command-line program sends it: unit
// attentions retried, and the outcome sorted into the exit status a script tests. Decided from
// the SCSI outcome alone; what is particular to a transport came decided inside it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scsi/PersistentReservation.h"
#include "scsi/Target.h"

namespace tessaly::cli {

using scsi::ReservationKey;

// Exit statuses, the numbers scripts of this field test for.
enum ExitStatus : int {
    kSuccess = 0,
    kSyntaxError = 1,
    kNotReady = 2,
    kIllegalRequest = 5,
    kUnitAttention = 6,
    kNoDevice = 15,
    kReservationConflict = 24,
    kOutputFailed = 74,
    kNoPermission = 77,
    kMalformedReply = 97,
    kOtherFailure = 99
};

// A command as sent, and what came back.
struct Step {
    scsi::PrAction action = scsi::PrAction::ReadKeys;
    std::vector<std::uint8_t> cdb;
    std::vector<std::uint8_t> parameterList;  // PERSISTENT RESERVE OUT
    std::uint32_t allocationLength = 0;       // PERSISTENT RESERVE IN
    int attempts = 0;
    std::vector<std::string> notes;  // for standard error: the retries, when the device is reported
    scsi::Outcome outcome;
    int exitStatus = kSuccess;
    std::string failure;  // what went wrong, for a person; empty on success

    bool Good() const { return exitStatus == kSuccess; }
    bool Sent() const { return outcome.failure != scsi::FailureKind::NoDevice; }
    const std::vector<std::uint8_t>& Data() const { return outcome.dataIn; }
};

// Safe to use from many threads at once: it keeps nothing of one command for the next.
class Exchanger {
  public:
    Exchanger(int retries, std::uint32_t timeoutSeconds)
        : retries_(retries), timeoutSeconds_(timeoutSeconds) {}

    // Sends the action with the fields given and takes in the reply; a CHECK CONDITION with
    // UNIT ATTENTION is sent again, up to the retries. A PERSISTENT RESERVE IN asks for
    // `fields.allocationLength` bytes, or with 0 for as much as the target carries (at most
    // 65535).
    Step Run(scsi::Target& target, scsi::PrAction action, scsi::PrFields fields);

  private:
    int retries_;
    std::uint32_t timeoutSeconds_;
};

// The whole data area a target carries in one PERSISTENT RESERVE IN.
std::uint16_t WholeReply(const scsi::Target& target);

// A refusal of the service action itself: a device without it answers ILLEGAL REQUEST, INVALID
// FIELD IN CDB or INVALID COMMAND OPERATION CODE.
bool NotSupported(const Step& step);

}  // namespace tessaly::cli
