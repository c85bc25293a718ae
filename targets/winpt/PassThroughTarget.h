// A Windows disk as a SCSI target: each command goes to the disk's device ("\\.\PhysicalDriveN"
// or any other name of it) in one IOCTL_SCSI_PASS_THROUGH call, its data inside the call's
// buffer; or, as an option, in IOCTL_SCSI_PASS_THROUGH_DIRECT, its data in pages of its own.
// What only this transport knows (the Win32 errors of the open and of the call, the bytes the
// call returned) is decided here. README.md tells the layout and what Wine does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scsi/Target.h"
#include "targets/winpt/DiskName.h"
#include "targets/winpt/PassThroughBuffer.h"

namespace tessaly::targets {

enum class PassThroughForm : std::uint8_t { Buffered, Direct };

class PassThroughTarget : public scsi::Target {
  public:
    // `name`: a disk as typed; DiskDeviceName gives the device name to open, and a name it does
    // not take is opened as it is. Nothing is opened before the first command.
    explicit PassThroughTarget(std::string name, PassThroughForm form = PassThroughForm::Buffered);
    ~PassThroughTarget() override;
    PassThroughTarget(const PassThroughTarget&) = delete;
    PassThroughTarget& operator=(const PassThroughTarget&) = delete;

    // The disk is opened (read and write access, shared) at the first command and kept open; an
    // open that failed is tried again at the next. Open failures: the disk does not exist
    // (errors 2 and 3) NoDevice; access denied (5) Failed with the fact reason "permission";
    // another Failed. A failed call: Interrupted for a timeout or a cancel, else Failed. Nothing
    // is sent of a request that PassThroughBuffer refuses (Failed).
    scsi::Outcome Execute(const scsi::Request& request) override;
    std::uint32_t MaxDataIn() const override { return winpt::kMaxData; }
    // For a disk object of the stand-in driver, the name of its VLK path's nexus; else empty.
    std::string InitiatorName() const override;
    std::string Where() const override { return name_; }
    // kind "scsi-pass-through", device_name, and for a disk object of the stand-in driver its
    // device and path (derived from the disk number).
    std::vector<scsi::Fact> Describe() const override;

  private:
    bool Open(scsi::Outcome& outcome);

    std::string name_;
    std::string device_;
    PassThroughForm form_;
    std::optional<StandInPath> standIn_;
    void* handle_;           // the disk's HANDLE, INVALID_HANDLE_VALUE while not open
    void* pages_ = nullptr;  // the DIRECT form's data, kMaxData bytes of their own pages
    winpt::PassThroughBuffer buffer_;
};

}  // namespace tessaly::targets
