#include <gtest/gtest.h>

#include "targets/winpt/DiskName.h"

namespace tessaly::targets {
namespace {

TEST(DiskDeviceName, TakesDiskNamesAndNothingElse) {
    const struct {
        const char* typed;
        const char* device;  // nullptr: not a disk address
    } cases[] = {
        {"PhysicalDrive3", "\\\\.\\PhysicalDrive3"},
        {"physicaldrive10701", "\\\\.\\physicaldrive10701"},
        {"PhysicalDrive4294967295", "\\\\.\\PhysicalDrive4294967295"},
        {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0"},
        {"\\\\?\\GLOBALROOT\\Device\\Harddisk0\\DR0", "\\\\?\\GLOBALROOT\\Device\\Harddisk0\\DR0"},
        {"//./C:", "//./C:"},
        {"\\\\.\\vlkpathdisk", "\\\\.\\vlkpathdisk"},
        {"PhysicalDrive4294967296", nullptr},
        {"PhysicalDrive03", nullptr},
        {"PhysicalDrive", nullptr},
        {"PhysicalDrive-1", nullptr},
        {"PhysicalDrive1 ", nullptr},
        {"3", nullptr},
        {"iscsi://192.0.2.1/iqn.2026-12.org.example:disk/1", nullptr},
        {"\\\\.\\", nullptr},
        {"\\\\.\\\\x", nullptr},
        {"\\\\.PhysicalDrive1", nullptr},
        {"\\\\.\\Physical\nDrive1", nullptr},
        {"\\\\.\\vlkpath", nullptr},
        {"\\\\.\\VLKPATH\\7", nullptr},
    };
    for (const auto& c : cases) {
        const auto device = DiskDeviceName(c.typed);
        EXPECT_EQ(device.value_or("(none)"), c.device ? c.device : "(none)") << c.typed;
    }
}

TEST(StandInDiskObject, DerivesDeviceAndPathFromTheNumber) {
    const struct {
        const char* name;
        std::optional<StandInPath> at;
    } cases[] = {
        {"\\\\.\\PhysicalDrive10701", StandInPath{7, 1}},
        {"\\\\?\\physicaldrive10000", StandInPath{0, 0}},
        {"\\\\.\\PhysicalDrive20032", StandInPath{100, 32}},
        {"\\\\.\\PhysicalDrive20100", std::nullopt},  // device 101
        {"\\\\.\\PhysicalDrive10733", std::nullopt},  // path 33
        {"\\\\.\\PhysicalDrive9999", std::nullopt},
        {"\\\\.\\PhysicalDrive010701", std::nullopt},
        {"\\\\.\\C:", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StandInDiskObject(c.name), c.at) << c.name;
    }
}

}  // namespace
}  // namespace tessaly::targets
