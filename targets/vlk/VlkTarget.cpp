#include "targets/vlk/VlkTarget.h"

#include "scsi/Codes.h"

namespace tessaly::targets {
namespace {

std::string Detail(std::uint32_t error, const std::string& text) {
    return "error " + std::to_string(error) + (text.empty() ? "" : ": " + text);
}

}  // namespace

std::string SystemText(MessageLookup& messages, std::uint32_t error) {
    std::string text = messages.MessageFor(error).value_or(std::string());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string VlkPathInitiatorName(std::uint32_t path) {
    return "iqn.2026-12.org.tessaly:path" + std::to_string(path);
}

class VlkPath : public scsi::Target {
  public:
    VlkPath(VlkControlDevice& control, std::uint32_t device, std::uint32_t path)
        : control_(control), device_(device), path_(path) {}

    scsi::Outcome Execute(const scsi::Request& request) override;
    std::uint32_t MaxDataIn() const override { return request_layout::kDataAreaSize; }
    std::string InitiatorName() const override { return VlkPathInitiatorName(path_); }
    std::string Where() const override {
        return "device " + std::to_string(device_) + ", path " + std::to_string(path_);
    }
    std::vector<scsi::Fact> Describe() const override {
        return {scsi::Fact::Text("kind", "vlk"), scsi::Fact::Number("device", device_),
                scsi::Fact::Number("path", path_)};
    }

  private:
    VlkControlDevice& control_;
    std::uint32_t device_;
    std::uint32_t path_;
};

scsi::Outcome VlkPath::Execute(const scsi::Request& request) {
    scsi::Outcome outcome;
    if (!control_.Open()) {
        outcome.sent = false;
        outcome.failure = scsi::FailureKind::NoDevice;
        outcome.failureText = "not sent: the control device is not open";
        if (control_.channel_.OpenError() == kErrorAccessDenied) {
            // Only an elevated administrator may open it.
            outcome.failure = scsi::FailureKind::Failed;
            outcome.failureText += ": access denied (start the console with Run as administrator)";
            outcome.facts.push_back(scsi::Fact::NoPermission());
        }
        return outcome;
    }
    const bool in = request.direction != scsi::Direction::Out;
    const std::uint32_t transfer =
        in ? (request.dataInLength < request_layout::kDataAreaSize ? request.dataInLength
                                                                   : request_layout::kDataAreaSize)
           : static_cast<std::uint32_t>(request.dataOut.size());
    PassThroughRequest record(device_, path_, in ? DataDirection::In : DataDirection::Out,
                              request.cdb, request.dataOut, transfer, request.timeoutSeconds);
    // The driver answers into at least the dialog's 152 bytes, and as far as the data reaches.
    const std::uint32_t output = OutputLength(transfer) > PassThroughRequest::kOutputSize
                                     ? OutputLength(transfer)
                                     : static_cast<std::uint32_t>(PassThroughRequest::kOutputSize);
    OperationResult result;
    const std::uint32_t error =
        control_.channel_.Send(record, result, output, request.timeoutSeconds * 1000u);
    outcome.facts.push_back(scsi::Fact::Number("bytes_returned", result.bytesReturned));
    if (error != 0) {
        const std::string text = SystemText(control_.messages_, error);
        outcome.failureNumber = error;
        outcome.facts.push_back(scsi::Fact::Text("error_text", text));
        if (error == kErrorDeviceDoesNotExist) {
            outcome.failure = scsi::FailureKind::NoDevice;
            outcome.failureText =
                "the device or its path does not exist (" + Detail(error, text) + ")";
        } else if (error == kErrorTimedOut) {
            outcome.failure = scsi::FailureKind::Interrupted;
            outcome.failureText = "no answer within " + std::to_string(request.timeoutSeconds) +
                                  " s: the call was cancelled (" + Detail(error, text) + ")";
        } else {
            outcome.failure = scsi::FailureKind::Failed;
            outcome.failureText = "the control call failed (" + Detail(error, text) + ")";
        }
        return outcome;
    }
    const std::uint32_t returned = record.DataTransferLength();
    const std::uint32_t taken = in ? (returned < transfer ? returned : transfer) : 0;
    // The reply block must reach as far as the data the driver says it wrote.
    if (result.bytesReturned < OutputLength(taken)) {
        outcome.failure = scsi::FailureKind::BadReply;
        outcome.failureText = "the driver returned " + std::to_string(result.bytesReturned) +
                              " bytes, too few for the reply it describes";
        return outcome;
    }
    outcome.status = record.ScsiStatus();
    const auto area = record.DataArea();
    outcome.dataIn.assign(area.begin(), area.begin() + taken);
    outcome.residual = in ? transfer - taken : 0;
    if (outcome.status == scsi::kStatusCheckCondition) {  // the sense the driver wrote
        const auto sense = record.SenseArea();
        const std::size_t length = record.Bytes()[request_offset::kSenseInfoLength];
        outcome.sense.assign(sense.begin(),
                             sense.begin() + static_cast<std::ptrdiff_t>(
                                                 length < sense.size() ? length : sense.size()));
    }
    return outcome;
}

VlkControlDevice::VlkControlDevice(DriverPort& driver, MessageLookup& messages,
                                   std::function<void(const std::string&)> note)
    : channel_(driver), messages_(messages), note_(std::move(note)) {}

bool VlkControlDevice::Open() {
    std::call_once(tried_, [this] {
        open_ = channel_.Open();
        if (!open_) {
            const std::uint32_t error = channel_.OpenError();
            const std::string text = SystemText(messages_, error);
            note_("cannot open " + std::string(channel_.DeviceName()) + ": " + Detail(error, text) +
                  (error == kErrorAccessDenied
                       ? " (only an administrator may open it: start the console with Run as "
                         "administrator)"
                       : ""));
        }
    });
    return open_;
}

std::unique_ptr<scsi::Target> VlkControlDevice::Path(std::uint32_t device, std::uint32_t path) {
    return std::make_unique<VlkPath>(*this, device, path);
}

}  // namespace tessaly::targets
