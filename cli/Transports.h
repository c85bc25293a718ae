// What this build of the program can reach: a target for each address a person gives. Each
// platform's program brings its own; a transport it lacks answers every command with a failure
// that says so.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/DriverPort.h"
#include "report/MessageLookup.h"
#include "scsi/Target.h"
#include "targets/iscsi/IscsiAddress.h"
#include "targets/iscsi/IscsiIdentity.h"
#include "targets/vlk/VlkTarget.h"

namespace tessaly::cli {

// Who this host is to an iSCSI target, as the command line says.
struct IscsiSettings {
    std::string initiatorName;          // empty: this host's own
    std::optional<targets::Isid> isid;  // none: derived from the initiator name
    std::uint32_t timeoutSeconds = 10;
};

// A device as the system names it: a SCSI device, or a multipath map with its paths.
struct SystemDevice {
    std::string map;  // the map's name ("mpatha"); empty for a SCSI device
    // Why the device is not there at all, found before anything is sent (its target says it
    // again when a command is sent); empty when it may be.
    std::string missing;
    // The device's one target, or the map's paths by name ("sdc"), in the kernel's order.
    std::vector<std::pair<std::string, std::unique_ptr<scsi::Target>>> paths;
};

class Transports {
  public:
    virtual ~Transports() = default;

    // Device `device` through VLK path `path`.
    virtual std::unique_ptr<scsi::Target> Vlk(std::uint32_t device, std::uint32_t path) = 0;
    // Opens the VLK driver's control device now, where the transport has one, so that why it
    // cannot be opened is said once, before any device.
    virtual void OpenVlk() {}
    // LUN `lun` of the iSCSI address, reached as the settings say.
    virtual std::unique_ptr<scsi::Target> Iscsi(const targets::IscsiAddress& address,
                                                std::uint16_t lun,
                                                const IscsiSettings& settings) = 0;
    // The device at `path` (/dev/sdb, /dev/sg2, /dev/mapper/mpatha, a link to one of them).
    virtual SystemDevice System(const std::string& path) = 0;
};

// The device of a build that cannot reach such devices.
SystemDevice NoSystemDevice(const std::string& path);

// A target that is not there: every command fails with `text`, nothing is sent.
std::unique_ptr<scsi::Target> Unreachable(std::string where, std::string text);
// The iSCSI LUN of a build without iSCSI.
std::unique_ptr<scsi::Target> NoIscsi(const targets::IscsiAddress& address, std::uint16_t lun);

// The VLK driver's control device through a driver port (the Windows program's, or a stand-in's
// for tests); why it cannot be opened goes to `note`, once.
class DriverTransports : public Transports {
  public:
    DriverTransports(DriverPort& driver, MessageLookup& messages,
                     std::function<void(const std::string&)> note)
        : vlk_(driver, messages, std::move(note)) {}

    std::unique_ptr<scsi::Target> Vlk(std::uint32_t device, std::uint32_t path) override {
        return vlk_.Path(device, path);
    }
    void OpenVlk() override { vlk_.Open(); }
    std::unique_ptr<scsi::Target> Iscsi(const targets::IscsiAddress& address, std::uint16_t lun,
                                        const IscsiSettings&) override {
        return NoIscsi(address, lun);
    }
    SystemDevice System(const std::string& path) override { return NoSystemDevice(path); }

  private:
    targets::VlkControlDevice vlk_;
};

}  // namespace tessaly::cli
