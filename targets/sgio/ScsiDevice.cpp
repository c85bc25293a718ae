#include "targets/sgio/ScsiDevice.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <regex>

namespace tessaly::targets {
namespace {

bool IsScsiAddress(const std::string& name) {
    static const std::regex address("[0-9]+:[0-9]+:[0-9]+:[0-9]+");
    return std::regex_match(name, address);
}

// The name after `prefix` is a number: "session4" of "session".
bool IsNumbered(const std::string& name, const std::string& prefix) {
    return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

// A value of the iSCSI classes; the kernel writes "(null)" for one nobody set.
std::string IscsiValue(const std::string& path) {
    std::string value = SysfsLine(path).value_or("");
    return value == "(null)" ? std::string() : value;
}

std::string FirstEntry(const std::string& folder) {
    const auto names = SysfsEntries(folder);
    return names.empty() ? std::string() : names.front();
}

// The device's names, limit and iSCSI session, from its folder `device` (".../2:0:1:0").
ScsiDevice ReadScsiDevice(const std::string& sysRoot, const std::string& device) {
    ScsiDevice scsi;
    scsi.address = SysfsBaseName(device);
    scsi.disk = FirstEntry(device + "/block");
    scsi.generic = FirstEntry(device + "/scsi_generic");
    if (!scsi.disk.empty()) {
        const std::string kib =
            SysfsLine(device + "/block/" + scsi.disk + "/queue/max_sectors_kb").value_or("");
        std::uint32_t value = 0;
        const auto [end, error] = std::from_chars(kib.data(), kib.data() + kib.size(), value);
        if (error == std::errc() && end == kib.data() + kib.size() && value < (1u << 22)) {
            scsi.limit = value * 1024;
        }
    }
    // The SCSI host of an iSCSI session sits above it: .../host3/session1/target3:0:0/3:0:0:1.
    for (std::string at = device; at.size() > sysRoot.size() && at.find('/') != std::string::npos;
         at.erase(at.rfind('/'))) {
        const std::string name = SysfsBaseName(at);
        if (IsNumbered(name, "session") && scsi.initiatorName.empty()) {
            scsi.initiatorName = IscsiValue(at + "/iscsi_session/" + name + "/initiatorname");
            scsi.isid = IscsiValue(at + "/iscsi_session/" + name + "/isid");
        } else if (IsNumbered(name, "host") && scsi.initiatorName.empty()) {
            scsi.initiatorName = IscsiValue(at + "/iscsi_host/" + name + "/initiatorname");
        }
    }
    return scsi;
}

}  // namespace

IdentifiedDevice IdentifyDevice(const std::string& sysRootGiven, const DeviceNumber& number) {
    IdentifiedDevice found;
    const std::string sysRoot = SysfsResolve(sysRootGiven).value_or(sysRootGiven);
    const auto self = SysfsResolve(SysfsDeviceLink(sysRoot, number));
    if (!self) {
        found.problem = "is not in sysfs (device " + std::to_string(number.major) + ":" +
                        std::to_string(number.minor) + ")";
        return found;
    }
    found.name = SysfsBaseName(*self);
    const auto device = SysfsResolve(*self + "/device");
    if (number.block) {
        if (const auto partition = SysfsLine(*self + "/partition")) {
            const std::string disk = SysfsBaseName(self->substr(0, self->rfind('/')));
            found.problem = "is partition " + *partition + " of " + disk +
                            ": a reservation holds for the whole logical unit, give the disk, "
                            "/dev/" +
                            disk;
            return found;
        }
        if (SysfsExists(*self + "/dm")) {
            found.mapName = SysfsLine(*self + "/dm/name").value_or("");
            found.problem = "is the device-mapper device " + found.mapName + " (" + found.name +
                            "), not a SCSI device";
            return found;
        }
        const auto bus = device ? SysfsResolve(*device + "/subsystem") : std::nullopt;
        if (!bus || SysfsBaseName(*bus) != "scsi" || !IsScsiAddress(SysfsBaseName(*device))) {
            found.problem = "is not a SCSI device (" + found.name + ", " +
                            (bus ? "a device on the " + SysfsBaseName(*bus) + " bus"
                                 : std::string("a virtual block device")) +
                            ")";
            return found;
        }
    } else {
        const auto kind = SysfsResolve(*self + "/subsystem");
        const std::string className = kind ? SysfsBaseName(*kind) : "unknown";
        if (className != "scsi_generic" || !device || !IsScsiAddress(SysfsBaseName(*device))) {
            found.problem = "is not a SCSI device (" + found.name + ", a character device of the " +
                            className + " class)";
            return found;
        }
    }
    found.scsi = ReadScsiDevice(sysRoot, *device);
    return found;
}

}  // namespace tessaly::targets
