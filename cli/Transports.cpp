#include "cli/Transports.h"

namespace tessaly::cli {
namespace {

class UnreachableTarget : public scsi::Target {
  public:
    UnreachableTarget(std::string where, std::string text)
        : where_(std::move(where)), text_(std::move(text)) {}

    scsi::Outcome Execute(const scsi::Request&) override {
        return scsi::Outcome::Failed(scsi::FailureKind::NoDevice, text_, 0, false);
    }
    std::uint32_t MaxDataIn() const override { return 0xFFFF; }
    std::string InitiatorName() const override { return {}; }
    std::string Where() const override { return where_; }
    std::vector<scsi::Fact> Describe() const override { return {}; }

  private:
    std::string where_;
    std::string text_;
};

}  // namespace

std::unique_ptr<scsi::Target> Unreachable(std::string where, std::string text) {
    return std::make_unique<UnreachableTarget>(std::move(where), std::move(text));
}

std::unique_ptr<scsi::Target> NoIscsi(const targets::IscsiAddress& address, std::uint16_t lun) {
    return Unreachable(targets::FormatIscsiAddress(address, lun),
                       "not sent: this build of tessaly-cli has no iSCSI (the Linux build has)");
}

SystemDevice NoSystemDevice(const std::string& path) {
    SystemDevice device;
    device.missing =
        "not sent: this build of tessaly-cli reaches no Linux device (the Linux build "
        "does)";
    device.paths.emplace_back(std::string(), Unreachable(path, device.missing));
    return device;
}

}  // namespace tessaly::cli
