// One logical unit as SCSI sees it, whatever carries the commands: a VLK path, an iSCSI session, a
// Linux SCSI device, a Windows disk. One command goes in; one outcome comes back: either a failure
// of the transport, with its own number and text, or what the device answered.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessaly::scsi {

enum class Direction : std::uint8_t { None, In, Out };

struct Request {
    std::vector<std::uint8_t> cdb;  // 6 to 16 bytes
    Direction direction = Direction::None;
    std::vector<std::uint8_t> dataOut;  // Direction::Out: every byte to send
    std::uint32_t dataInLength = 0;     // Direction::In: the bytes the device may send back
    std::uint32_t timeoutSeconds = 10;
};

// How a command failed to reach the device or to come back from it.
enum class FailureKind : std::uint8_t {
    None,
    NoDevice,     // the device (or the path to it) does not exist or cannot be reached: nothing
                  // was sent to it
    BadReply,     // an answer came back that the transport itself cannot trust
    Interrupted,  // sent, but its answer did not come back (a lost connection, a timeout)
    Failed,       // the transport refused or failed the command for another reason
};

// What one target knows of itself or of one command, for the JSON document: a name with a number
// or a text.
struct Fact {
    std::string name;
    bool isNumber = false;
    std::int64_t number = 0;
    std::string text;

    static Fact Number(std::string name, std::int64_t value) {
        return {std::move(name), true, value, {}};
    }
    static Fact Text(std::string name, std::string value) {
        return {std::move(name), false, 0, std::move(value)};
    }
    // How a transport says that it was refused the right to send (a process without the
    // privilege, a device only administrators may open): {"reason", "permission"}.
    static Fact NoPermission() { return Text("reason", "permission"); }
    bool IsNoPermission() const { return !isNumber && name == "reason" && text == "permission"; }
};

struct Outcome {
    bool sent = true;  // false when the transport never tried to deliver it (nothing to send to)
    FailureKind failure = FailureKind::None;
    std::int64_t failureNumber = 0;  // the transport's own number (a Win32 error, an errno...)
    std::string failureText;         // for a person: what failed, and the system's own words

    std::uint8_t status = 0;           // SCSI status, when the command ran
    std::vector<std::uint8_t> sense;   // on CHECK CONDITION
    std::vector<std::uint8_t> dataIn;  // the bytes the device sent
    std::uint32_t residual = 0;        // dataInLength less what came back

    std::vector<Fact> facts;  // what the transport adds of this command (bytes returned, ...)

    bool Ran() const { return failure == FailureKind::None; }
    bool NoPermission() const {
        return std::any_of(facts.begin(), facts.end(),
                           [](const Fact& fact) { return fact.IsNoPermission(); });
    }

    // A failure of the transport, with its own number; `sent` false when it never tried.
    static Outcome Failed(FailureKind kind, std::string text, std::int64_t number = 0,
                          bool sent = true) {
        Outcome outcome;
        outcome.sent = sent;
        outcome.failure = kind;
        outcome.failureNumber = number;
        outcome.failureText = std::move(text);
        return outcome;
    }
};

class Target {
  public:
    virtual ~Target() = default;

    // Sends one command and waits for its outcome, at most the request's timeout (and a little
    // more for the transport's own work).
    virtual Outcome Execute(const Request& request) = 0;

    // The longest data-in transfer the transport carries in one command.
    virtual std::uint32_t MaxDataIn() const = 0;

    // The iSCSI name under which this I_T nexus registers, where the transport knows it: what
    // READ FULL STATUS shows for this host's own registration. Empty where it is not known.
    virtual std::string InitiatorName() const = 0;

    // The target for a person: "device 2, path 0", "iscsi://192.0.2.1/iqn...:disk/1".
    virtual std::string Where() const = 0;

    // What the transport knows of the target, for JSON: kind, device and path, portal, LUN...
    virtual std::vector<Fact> Describe() const = 0;
};

}  // namespace tessaly::scsi
