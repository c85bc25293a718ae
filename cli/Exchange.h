// One command on one path of one device, as the command-line program sends it: the whole data area
// asked for, unit attentions retried, and the outcome sorted into the exit status a script tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "core/Pause.h"
#include "report/MessageLookup.h"

namespace tessaly::cli {

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
    kMalformedReply = 97,
    kOtherFailure = 99
};

// The Win32 error of a device or path the driver does not have (ERROR_DEV_NOT_EXIST).
inline constexpr std::uint32_t kErrorDeviceDoesNotExist = 55;

// A command as sent, and what came back.
struct Step {
    Command command = Command::ReadKeys;
    std::vector<std::uint8_t> cdb;
    std::vector<std::uint8_t> parameterList;  // PERSISTENT RESERVE OUT
    std::uint32_t allocationLength = 0;       // PERSISTENT RESERVE IN
    int attempts = 0;
    bool sent = false;        // false when the control device is not open
    std::uint32_t error = 0;  // of a failed control call
    std::string errorText;    // the system's text for it, line break removed
    std::uint32_t bytesReturned = 0;
    std::uint8_t status = 0;
    std::vector<std::uint8_t> sense;  // on CHECK CONDITION
    std::vector<std::uint8_t> data;   // the data-in bytes the device transferred
    int exitStatus = kSuccess;
    std::string failure;  // what went wrong, for a person; empty on success

    bool Good() const { return exitStatus == kSuccess; }
};

// The system's text for an error number without its line break; empty when it has none.
std::string SystemText(MessageLookup& messages, std::uint32_t error);

// What the command-line program asks for: a PERSISTENT RESERVE IN command reads the whole data
// area.
RequestFields WholeDataArea(std::uint32_t device, std::uint32_t path);
// The request shape of the dialog's commands: a 24-byte allocation or parameter list, a 60-byte
// transfer, scope and type 06h.
RequestFields DialogShape(std::uint32_t device, std::uint32_t path);

class Exchanger {
  public:
    // Notes on the retries (unit attentions) go to `note`.
    Exchanger(DeviceChannel& channel, bool channelOpen, MessageLookup& messages, int retries,
              std::function<void(const std::string&)> note);

    // Sends the command as the fields give it and takes in the reply; a CHECK CONDITION with
    // UNIT ATTENTION is sent again, up to the retries.
    Step Run(Command command, const RequestFields& fields);

  private:
    void Classify(Step& step) const;

    DeviceChannel& channel_;
    bool channelOpen_;
    MessageLookup& messages_;
    int retries_;
    std::function<void(const std::string&)> note_;
};

}  // namespace tessaly::cli
