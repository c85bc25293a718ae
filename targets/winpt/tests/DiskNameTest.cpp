#include <gtest/gtest.h>

#include "targets/winpt/DiskName.h"

namespace tessaly::targets {
namespace {

TEST(DiskDeviceName, TakesDiskNamesAndNothingElse) {
    const struct {
        const char* typed;
        const char* device;  // "": not a disk address
    } cases[] = {
        {"PhysicalDrive3", "\\\\.\\PhysicalDrive3"},
        {"physicaldrive10701", "\\\\.\\physicaldrive10701"},
        {"\\\\?\\GLOBALROOT\\Device\\Harddisk0\\DR0", "\\\\?\\GLOBALROOT\\Device\\Harddisk0\\DR0"},
        {"//./C:", "//./C:"},
        {"PhysicalDrive4294967296", ""},
        {"PhysicalDrive03", ""},
        {"PhysicalDrive", ""},
        {"3", ""},
        {"iscsi://192.0.2.1/iqn.2026-12.org.example:disk/1", ""},
        {"\\\\.\\", ""},
        {"\\\\.\\Physical\nDrive1", ""},
        {"\\\\.\\VLKPATH\\7", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DiskDeviceName(c.typed).value_or(""), c.device) << c.typed;
    }
}

TEST(StandInDiskObject, DerivesDeviceAndPathFromTheNumber) {
    const struct {
        const char* name;
        std::optional<StandInPath> at;
    } cases[] = {
        {"\\\\.\\PhysicalDrive10701", StandInPath{7, 1}},
        {"\\\\?\\physicaldrive20032", StandInPath{100, 32}},
        {"\\\\.\\PhysicalDrive20100", std::nullopt},  // device 101
        {"\\\\.\\PhysicalDrive10733", std::nullopt},  // path 33
        {"\\\\.\\PhysicalDrive9999", std::nullopt},
        {"\\\\.\\PhysicalDrive010701", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StandInDiskObject(c.name), c.at) << c.name;
    }
}

}  // namespace
}  // namespace tessaly::targets
