// Reading sysfs, or a tree laid out like it under another root (the tests build one in a temporary
// folder): the first line of a small file, where a link leads, the entries of a folder. Nothing
// here throws; what cannot be read is absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessaly::targets {

// The first line of a file, without its line end and trailing blanks; nullopt when it cannot be
// read.
std::optional<std::string> SysfsLine(const std::string& path);

// The path with every link resolved; nullopt when it does not lead anywhere.
std::optional<std::string> SysfsResolve(const std::string& path);

// The last part of a path: "sdc" of "/sys/devices/.../block/sdc".
std::string SysfsBaseName(const std::string& path);

bool SysfsExists(const std::string& path);

// The names in a folder, in the kernel's order of device names: shorter first, then by their
// bytes ("sdz" before "sdaa", "sg2" before "sg10"). Empty when the folder cannot be read.
std::vector<std::string> SysfsEntries(const std::string& folder);

// A device node's number as sysfs files it: /sys/dev/block/MAJOR:MINOR or /sys/dev/char/....
struct DeviceNumber {
    bool block = true;
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
};
std::string SysfsDeviceLink(const std::string& sysRoot, const DeviceNumber& number);

// What a path names, with its links resolved: a device node's number and the node, or why not
// ("/dev/sdq does not exist", "/tmp/x is not a device node").
struct NodeLookup {
    std::string node;  // the path with its links resolved
    std::optional<DeviceNumber> number;
    int error = 0;  // errno of a path that cannot be reached
    std::string problem;
};
NodeLookup LookUpNode(const std::string& path);

}  // namespace tessaly::targets
