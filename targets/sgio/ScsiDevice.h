// What sysfs tells of the device behind a node: whether it is a SCSI device reached through its
// disk (sd, or another SCSI block device) or its generic node (sg), and then its names, its SCSI
// address, how much one command may carry, and the iSCSI session it is on where it is on one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "targets/sgio/Sysfs.h"

namespace tessaly::targets {

struct ScsiDevice {
    std::string disk;     // "sdc": its block device, empty where it has none
    std::string generic;  // "sg2": its generic device, empty where sg is not loaded
    std::string address;  // "2:0:1:0": host, channel, target and LUN
    std::uint32_t limit =
        0;  // the bytes its queue takes in one command (max_sectors_kb); 0: unknown
    // The iSCSI session of the kernel's own initiator that the device is on, where it is on one:
    // the session's initiator name (else its host's), and its ISID as sysfs shows it, where shown.
    std::string initiatorName;
    std::string isid;
};

struct IdentifiedDevice {
    std::string name;  // the device's own name in sysfs: "sdc", "sg2", "sdc1", "dm-3", "nvme0n1"
    std::optional<ScsiDevice> scsi;
    std::string mapName;  // a device-mapper device's name: "mpatha"
    // Why it is no SCSI device, to follow the node's path: "is partition 1 of sdc, ...".
    std::string problem;
};

// A block device is a SCSI device when its `device` link leads to a device on the scsi bus; a
// character device when it is of the class scsi_generic. Partitions and device-mapper devices are
// refused with what they are. Reads `sysRoot` ("/sys", or a tree laid out like it) only.
IdentifiedDevice IdentifyDevice(const std::string& sysRoot, const DeviceNumber& number);

}  // namespace tessaly::targets
