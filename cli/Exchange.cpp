#include "cli/Exchange.h"

#include "scsi/Codes.h"
#include "scsi/Sense.h"

namespace tessaly::cli {
namespace {

bool IsUnitAttention(const Step& step) {
    if (!step.outcome.Ran() || step.outcome.status != scsi::kStatusCheckCondition) {
        return false;
    }
    const auto sense = scsi::DecodeSense(step.outcome.sense);
    return sense && sense->key == scsi::kSenseUnitAttention;
}

void Classify(Step& step) {
    const scsi::Outcome& outcome = step.outcome;
    if (!outcome.Ran() && outcome.NoPermission()) {
        step.exitStatus = kNoPermission;
        step.failure = outcome.failureText;
        return;
    }
    switch (outcome.failure) {
        case scsi::FailureKind::None:
            break;
        case scsi::FailureKind::NoDevice:
            step.exitStatus = kNoDevice;
            step.failure = outcome.failureText;
            return;
        case scsi::FailureKind::BadReply:
            step.exitStatus = kMalformedReply;
            step.failure = outcome.failureText;
            return;
        case scsi::FailureKind::Interrupted:
        case scsi::FailureKind::Failed:
            step.exitStatus = kOtherFailure;
            step.failure = outcome.failureText;
            return;
    }
    switch (outcome.status) {
        case scsi::kStatusGood:
            return;
        case scsi::kStatusReservationConflict:
            step.exitStatus = kReservationConflict;
            step.failure = "RESERVATION CONFLICT";
            return;
        case scsi::kStatusCheckCondition:
            break;
        default:
            step.exitStatus = kOtherFailure;
            step.failure = scsi::StatusName(outcome.status);
            return;
    }
    const auto sense = scsi::DecodeSense(outcome.sense);
    if (!sense) {
        step.exitStatus = kOtherFailure;
        step.failure = "CHECK CONDITION without sense data that can be read";
        return;
    }
    step.failure = "CHECK CONDITION: " + scsi::SenseText(*sense);
    switch (sense->key) {
        case scsi::kSenseNotReady:
            step.exitStatus = kNotReady;
            break;
        case scsi::kSenseIllegalRequest:
            step.exitStatus = kIllegalRequest;
            break;
        case scsi::kSenseUnitAttention:
            step.exitStatus = kUnitAttention;
            break;
        default:
            step.exitStatus = kOtherFailure;
            break;
    }
}

}  // namespace

std::uint16_t WholeReply(const scsi::Target& target) {
    const std::uint32_t most = target.MaxDataIn();
    return static_cast<std::uint16_t>(most < 0xFFFF ? most : 0xFFFF);
}

bool NotSupported(const Step& step) {
    const auto sense = scsi::DecodeSense(step.outcome.sense);
    return step.exitStatus == kIllegalRequest && sense &&
           (sense->Code() == scsi::kAscInvalidFieldInCdb ||
            sense->Code() == scsi::kAscInvalidCommandOperationCode);
}

Step Exchanger::Run(scsi::Target& target, scsi::PrAction action, scsi::PrFields fields) {
    const scsi::PrActionRow& row = scsi::ActionRow(action);
    if (row.direction == scsi::Direction::In && fields.allocationLength == 0) {
        fields.allocationLength = WholeReply(target);
    }
    const scsi::Request request = scsi::MakeRequest(action, fields, timeoutSeconds_);
    std::vector<std::string> notes;
    for (int attempt = 1;; ++attempt) {
        Step step;
        step.action = action;
        step.attempts = attempt;
        step.cdb = request.cdb;
        step.parameterList = request.dataOut;
        step.allocationLength = request.dataInLength;
        step.outcome = target.Execute(request);
        Classify(step);
        if (!IsUnitAttention(step) || attempt > retries_) {
            step.notes = std::move(notes);
            return step;
        }
        // A power on or reset (29h) is how a target greets a new I_T nexus: every run of the
        // program over iSCSI meets one on each LUN's first command, and it says nothing of the
        // reservations. The retry is in the JSON's attempts; a note would only alarm.
        const auto sense = scsi::DecodeSense(step.outcome.sense);
        if (sense->asc != 0x29) {
            notes.push_back(target.Where() + ": " + row.name + ": " + step.failure +
                            "; sent again (retry " + std::to_string(attempt) + " of " +
                            std::to_string(retries_) + ")");
        }
    }
}

}  // namespace tessaly::cli
