// The VLK driver's paths as SCSI targets: each command travels in the 616-byte record to the
// driver's control device, addressed by device and path number. What only this transport knows
// (the driver's error 55 for a device or path it does not have, the bytes the control call
// returned) is decided here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/DeviceChannel.h"
#include "report/MessageLookup.h"
#include "scsi/Target.h"

namespace tessaly::targets {

// The Win32 error of a device or path the driver does not have (ERROR_DEV_NOT_EXIST).
inline constexpr std::uint32_t kErrorDeviceDoesNotExist = 55;
// The Win32 error of a control device that only an elevated administrator may open.
inline constexpr std::uint32_t kErrorAccessDenied = 5;

// The system's text for an error number without its line break; empty when it has none.
std::string SystemText(MessageLookup& messages, std::uint32_t error);

// The iSCSI name of VLK path `path`'s I_T nexus, as the stand-in driver's READ FULL STATUS shows
// it: "iqn.2026-12.org.tessaly:pathP". Its disk object for the same path is the same nexus.
std::string VlkPathInitiatorName(std::uint32_t path);

// The control device, opened at the first path asked for and shared by all of them.
class VlkControlDevice {
  public:
    // `note` hears once why the control device cannot be opened.
    VlkControlDevice(DriverPort& driver, MessageLookup& messages,
                     std::function<void(const std::string&)> note);

    std::unique_ptr<scsi::Target> Path(std::uint32_t device, std::uint32_t path);
    // Opens the control device once, at the first call from any thread; whether it is open.
    bool Open();

  private:
    friend class VlkPath;

    DeviceChannel channel_;
    MessageLookup& messages_;
    std::function<void(const std::string&)> note_;
    std::once_flag tried_;  // paths on many threads open it once
    bool open_ = false;
};

}  // namespace tessaly::targets
