// Device identification and multipath maps against a tree laid out like sysfs in a temporary
// folder: SCSI disks and their generic nodes, one on an iSCSI session, a partition, stacked
// device-mapper devices, and devices that are no SCSI devices.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "targets/sgio/MultipathMap.h"

namespace tessaly::targets {
namespace {

namespace fs = std::filesystem;

const std::string kSdc = "devices/pci0/host2/target2:0:1/2:0:1:0";
const std::string kSdd = "devices/pci0/host2/target2:0:2/2:0:2:0";
const std::string kSde = "devices/platform/host3/session1/target3:0:0/3:0:0:1";
const std::string kSession = "devices/platform/host3/session1/iscsi_session/session1/";

class FakeSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/tessaly-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root_ = folder;
        Disk(kSdc, "sdc", "8:32", "sg2", "21:2");
        Disk(kSdd, "sdd", "8:48", "sg3", "21:3");
        Disk(kSde, "sde", "8:64", "sg4", "1:3");  // /dev/null's number, for SgioTarget
        File(kSession + "initiatorname", "iqn.2026-12.org.example:node1");
        File(kSession + "isid", "400001370000");
        File(kSdc + "/block/sdc/sdc1/partition", "1");
        Link("dev/block/8:33", kSdc + "/block/sdc/sdc1");
        Map("dm-0", "253:0", "mpatha", {kSdd + "/block/sdd", kSdc + "/block/sdc"});
        Map("dm-1", "253:1", "mpatha-part1", {"devices/virtual/block/dm-0"});
        Map("dm-2", "253:2", "overpart",
            {kSdc + "/block/sdc/sdc1", "devices/pci0/sdaa", "devices/pci0/sdz",
             "devices/pci0/gone"});
        fs::remove(root_ + "/devices/pci0/gone");
        Map("dm-3", "253:3", "loop", {"devices/virtual/block/dm-3"});
        Map("dm-4", "253:4", "bare", {});
        fs::remove(root_ + "/devices/virtual/block/dm-4/slaves");
        // No SCSI devices: a loop device, an NVMe namespace, a memory device.
        Link("dev/block/7:0", "devices/virtual/block/loop0");
        Link("dev/block/259:0", "devices/pci0/nvme0/nvme0n1");
        Link("devices/pci0/nvme0/nvme0n1/device", "devices/pci0/nvme0");
        Link("devices/pci0/nvme0/subsystem", "class/nvme");
        Link("dev/char/1:5", "devices/virtual/mem/zero");
        Link("devices/virtual/mem/zero/subsystem", "class/mem");
    }
    void TearDown() override { fs::remove_all(root_); }

    void Dir(const std::string& path) { fs::create_directories(root_ + "/" + path); }
    void File(const std::string& path, const std::string& text) {
        Dir(fs::path(path).parent_path());
        std::ofstream(root_ + "/" + path) << text << "\n";
    }
    void Link(const std::string& path, const std::string& target) {
        Dir(fs::path(path).parent_path());
        Dir(target);
        fs::create_symlink(root_ + "/" + target, root_ + "/" + path);
    }
    void Disk(const std::string& device, const std::string& disk, const std::string& number,
              const std::string& generic, const std::string& genericNumber) {
        Link(device + "/subsystem", "bus/scsi");
        File(device + "/block/" + disk + "/queue/max_sectors_kb", "512");
        Link(device + "/block/" + disk + "/device", device);
        Link("dev/block/" + number, device + "/block/" + disk);
        Link(device + "/scsi_generic/" + generic + "/device", device);
        Link(device + "/scsi_generic/" + generic + "/subsystem", "class/scsi_generic");
        Link("dev/char/" + genericNumber, device + "/scsi_generic/" + generic);
    }
    void Map(const std::string& block, const std::string& number, const std::string& name,
             const std::vector<std::string>& slaves) {
        const std::string folder = "devices/virtual/block/" + block;
        File(folder + "/dm/name", name);
        for (const std::string& slave : slaves) {
            Link(folder + "/slaves/" + fs::path(slave).filename().string(), slave);
        }
        Link("block/" + block, folder);
        Link("dev/block/" + number, folder);
    }

    std::string root_;
};

TEST_F(FakeSysfs, IdentifiesScsiDisksAndGenericNodesAndRefusesTheRest) {
    struct Case {
        DeviceNumber number;
        const char* disk;  // a SCSI device with this disk, generic node, address, initiator
        const char* generic;
        const char* address;
        const char* initiator;
        const char* said;  // else what the refusal names
    };
    const Case cases[] = {
        {{true, 8, 32}, "sdc", "sg2", "2:0:1:0", "", nullptr},
        {{false, 21, 3}, "sdd", "sg3", "2:0:2:0", "", nullptr},
        {{true, 8, 64}, "sde", "sg4", "3:0:0:1", "iqn.2026-12.org.example:node1", nullptr},
        {{true, 8, 33}, nullptr, nullptr, nullptr, nullptr, "partition 1 of sdc"},
        {{true, 253, 0}, nullptr, nullptr, nullptr, nullptr, "device-mapper device mpatha"},
        {{true, 7, 0}, nullptr, nullptr, nullptr, nullptr, "virtual block device"},
        {{true, 259, 0}, nullptr, nullptr, nullptr, nullptr, "nvme"},
        {{false, 1, 5}, nullptr, nullptr, nullptr, nullptr, "mem class"},
        {{true, 9, 9}, nullptr, nullptr, nullptr, nullptr, "not in sysfs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.number.major) + ":" + std::to_string(c.number.minor));
        const IdentifiedDevice found = IdentifyDevice(root_, c.number);
        ASSERT_EQ(found.scsi.has_value(), c.disk != nullptr) << found.problem;
        if (!found.scsi) {
            EXPECT_NE(found.problem.find(c.said), std::string::npos) << found.problem;
            continue;
        }
        EXPECT_EQ(found.scsi->disk + " " + found.scsi->generic + " " + found.scsi->address + " " +
                      found.scsi->initiatorName,
                  std::string(c.disk) + " " + c.generic + " " + c.address + " " + c.initiator);
        EXPECT_EQ(found.scsi->limit, 512u * 1024);
    }
}

TEST_F(FakeSysfs, InitiatorPortOfTheKernelsIscsiSession) {
    EXPECT_EQ(SgioTarget("/dev/null", root_).InitiatorName(),
              "iqn.2026-12.org.example:node1,i,0x400001370000");
    File(kSession + "isid", "(null)");
    EXPECT_EQ(SgioTarget("/dev/null", root_).InitiatorName(), "iqn.2026-12.org.example:node1");
}

TEST_F(FakeSysfs, MapPathsFollowStackedMapsAndPartitionsInTheKernelsOrder) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"dm-0", {"sdc", "sdd"}},
        {"dm-1", {"sdc", "sdd"}},          // over dm-0
        {"dm-2", {"sdc", "sdz", "sdaa"}},  // over sdc1; a slave gone while it was read
        {"dm-3", {}},                      // a loop of maps, which sysfs never shows, ends
        {"dm-4", {}},                      // no slaves folder
    };
    for (const auto& [block, expected] : cases) {
        const auto map = MultipathMap::FromBlock(root_, block, "/dev/mapper/x");
        ASSERT_TRUE(map) << block;
        std::vector<std::string> names;
        for (const MapPath& path : map->Paths()) {
            names.push_back(path.name);
        }
        EXPECT_EQ(names, expected) << block;
    }
    EXPECT_EQ(MultipathMap::FromBlock(root_, "dm-1", "x")->Name(), "mpatha-part1");
    EXPECT_FALSE(MultipathMap::FromBlock(root_, "sdc", "x"));
}

}  // namespace
}  // namespace tessaly::targets
