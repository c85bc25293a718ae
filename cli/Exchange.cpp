#include "cli/Exchange.h"

#include "cli/Decode.h"

namespace tessaly::cli {
namespace {

bool IsUnitAttention(const Step& step) {
    if (step.status != kStatusCheckCondition) {
        return false;
    }
    const auto sense = DecodeSense(step.sense);
    return sense && sense->key == kSenseUnitAttention;
}

}  // namespace

std::string SystemText(MessageLookup& messages, std::uint32_t error) {
    std::string text = messages.MessageFor(error).value_or(std::string());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

RequestFields WholeDataArea(std::uint32_t device, std::uint32_t path) {
    RequestFields fields;
    fields.device = device;
    fields.path = path;
    fields.allocationLength = request_layout::kDataAreaSize;
    fields.transferLength = request_layout::kDataAreaSize;
    return fields;
}

RequestFields DialogShape(std::uint32_t device, std::uint32_t path) {
    RequestFields fields;
    fields.device = device;
    fields.path = path;
    fields.scopeAndType = kDialogScopeAndType;
    fields.allocationLength = kDialogLength;
    fields.transferLength = request_value::kDataTransferLength;
    return fields;
}

Exchanger::Exchanger(DeviceChannel& channel, bool channelOpen, MessageLookup& messages, int retries,
                     std::function<void(const std::string&)> note)
    : channel_(channel),
      channelOpen_(channelOpen),
      messages_(messages),
      retries_(retries),
      note_(std::move(note)) {}

Step Exchanger::Run(Command command, const RequestFields& fields) {
    const CommandRow& row = RowOf(command);
    for (int attempt = 1;; ++attempt) {
        PassThroughRequest request = BuildRequest(row, fields);
        const std::uint8_t* bytes = request.Bytes();
        Step step;
        step.command = command;
        step.attempts = attempt;
        step.cdb.assign(bytes + request_offset::kCdb, bytes + request_offset::kCdb + kCdbSize);
        if (row.direction == DataDirection::Out) {
            step.parameterList.assign(bytes + request_offset::kDataArea,
                                      bytes + request_offset::kDataArea + kParameterListSize);
        } else {
            step.allocationLength = fields.allocationLength;
        }
        if (!channelOpen_) {
            step.exitStatus = kNoDevice;
            step.failure = "not sent: the control device is not open";
            return step;
        }
        const std::uint32_t transfer = request.DataTransferLength();
        OperationResult result;
        step.error = channel_.Send(request, result, OutputLength(transfer));
        step.sent = true;
        step.bytesReturned = result.bytesReturned;
        if (step.error == 0) {
            step.status = request.ScsiStatus();
            const std::uint32_t returned = request.DataTransferLength();
            if (row.direction == DataDirection::In) {
                const auto area = request.DataArea();
                step.data.assign(area.begin(),
                                 area.begin() + (returned < transfer ? returned : transfer));
            }
            if (step.status == kStatusCheckCondition) {
                const auto sense = request.SenseArea();
                const std::size_t length = bytes[request_offset::kSenseInfoLength] < sense.size()
                                               ? bytes[request_offset::kSenseInfoLength]
                                               : sense.size();
                step.sense.assign(sense.begin(),
                                  sense.begin() + static_cast<std::ptrdiff_t>(length));
            }
        }
        Classify(step);
        if (!IsUnitAttention(step) || attempt > retries_) {
            return step;
        }
        note_("device " + std::to_string(fields.device) + ", path " + std::to_string(fields.path) +
              ": " + row.name + ": " + step.failure + "; sent again (retry " +
              std::to_string(attempt) + " of " + std::to_string(retries_) + ")");
    }
}

void Exchanger::Classify(Step& step) const {
    if (step.error != 0) {
        step.errorText = SystemText(messages_, step.error);
        const std::string detail = "error " + std::to_string(step.error) +
                                   (step.errorText.empty() ? "" : ": " + step.errorText);
        if (step.error == kErrorDeviceDoesNotExist) {
            step.exitStatus = kNoDevice;
            step.failure = "the device or its path does not exist (" + detail + ")";
        } else {
            step.exitStatus = kOtherFailure;
            step.failure = "the control call failed (" + detail + ")";
        }
        return;
    }
    if (step.bytesReturned < OutputLength(0) ||
        step.bytesReturned < OutputLength(static_cast<std::uint32_t>(step.data.size()))) {
        step.exitStatus = kMalformedReply;
        step.failure = "the driver returned " + std::to_string(step.bytesReturned) +
                       " bytes, too few for the reply it describes";
        step.data.clear();
        return;
    }
    switch (step.status) {
        case kStatusGood:
            return;
        case kStatusReservationConflict:
            step.exitStatus = kReservationConflict;
            step.failure = "RESERVATION CONFLICT";
            return;
        case kStatusCheckCondition:
            break;
        default:
            step.exitStatus = kOtherFailure;
            step.failure = StatusName(step.status);
            return;
    }
    const auto sense = DecodeSense(step.sense);
    if (!sense) {
        step.exitStatus = kOtherFailure;
        step.failure = "CHECK CONDITION without sense data that can be read";
        return;
    }
    step.failure = "CHECK CONDITION: " + SenseText(*sense);
    switch (sense->key) {
        case kSenseNotReady:
            step.exitStatus = kNotReady;
            break;
        case kSenseIllegalRequest:
            step.exitStatus = kIllegalRequest;
            break;
        case kSenseUnitAttention:
            step.exitStatus = kUnitAttention;
            break;
        default:
            step.exitStatus = kOtherFailure;
            break;
    }
}

}  // namespace tessaly::cli
