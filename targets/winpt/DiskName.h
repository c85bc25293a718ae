// The names of Windows disks as a person types them, read on every platform (the program's
// arguments are portable): "\\.\PhysicalDrive3", the same without the prefix, or any other name
// in the device namespace ("\\.\NAME", "\\?\NAME"), which the system resolves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaly::targets {

// The name to open for a disk address as typed: "PhysicalDriveN" (any case, N a disk number)
// becomes "\\.\PhysicalDriveN"; a name that starts with "\\.\" or "\\?\" (either slash) is taken
// as it is. Nothing for any other text, for a prefix without a name, for control characters, and
// for the VLK driver's control device "\\.\vlkpath", which is no disk.
std::optional<std::string> DiskDeviceName(std::string_view typed);

// A disk object of the stand-in VLK driver: "\\.\PhysicalDrive<10000 + 100 x device + path>",
// devices 0 to 100, paths 0 to 32, the number as the driver writes it (no leading zero).
struct StandInPath {
    std::uint32_t device;
    std::uint32_t path;

    bool operator==(const StandInPath&) const = default;
};
// Which VLK path a device name (as DiskDeviceName gives it) is a disk object of, derived from
// its number alone; nothing when the number is not one the stand-in gives.
std::optional<StandInPath> StandInDiskObject(std::string_view deviceName);

}  // namespace tessaly::targets
