// A Linux SCSI device as scsi::Target, through the SG_IO ioctl (sg_io_hdr, interface 'S'): a disk
// (/dev/sdX), a generic node (/dev/sgN), or any path that leads to one (/dev/disk/by-id/...), or
// one path of a multipath map (MultipathMap.h).
//
// The device is opened when the first command needs it and stays open for the run, once for each
// access mode: read-only (O_RDONLY | O_NONBLOCK) for every command but PERSISTENT RESERVE OUT and
// those that send data, which take a second, read-write descriptor. A disk opened for writing is
// probed again by udev when it is closed, so a run that only reads never opens one so.
//
// Sending PERSISTENT RESERVE IN or OUT takes CAP_SYS_RAWIO (root): the refusal ends Failed with the
// errno and the fact {"reason", "permission"} (SgioReply.h). README.md tells the rest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scsi/Target.h"
#include "targets/sgio/ScsiDevice.h"

namespace tessaly::targets {

inline constexpr std::uint32_t kSgioDefaultLimit = 64 * 1024;  // bytes, where sysfs tells none
inline constexpr std::uint32_t kSgioDefaultTimeout = 10;       // seconds, for a request's 0

// The map a path belongs to, for the target of that path.
struct MapPathOf {
    std::string device;  // the map as given: "/dev/mapper/mpatha"
    std::string name;    // its name: "mpatha"
    std::string path;    // the path's block device: "sdc"
};

class SgioTarget : public scsi::Target {
  public:
    // The device at `device`, its links resolved; `sysRoot` is where sysfs is.
    explicit SgioTarget(std::string device, std::string sysRoot = "/sys");
    // Path `map.path` of a map: the disk /dev/PATH.
    explicit SgioTarget(MapPathOf map, std::string sysRoot = "/sys");
    ~SgioTarget() override;
    SgioTarget(const SgioTarget&) = delete;
    SgioTarget& operator=(const SgioTarget&) = delete;

    // A request's timeout of 0 takes kSgioDefaultTimeout.
    scsi::Outcome Execute(const scsi::Request& request) override;
    // The queue's max_sectors_kb in bytes, or kSgioDefaultLimit.
    std::uint32_t MaxDataIn() const override;
    // Where the disk is on an iSCSI session of the kernel's own initiator: "NAME,i,0xISID" when
    // sysfs shows the ISID, else the name; else empty.
    std::string InitiatorName() const override;
    // The device as given; for a map's path "/dev/mapper/mpatha, path sdc".
    std::string Where() const override;
    // kind "sgio", device (as given), for a map's path map and path, then what was found: node
    // (the device node, its links resolved), disk, sg, scsi_address, initiator_name, isid.
    std::vector<scsi::Fact> Describe() const override;

    // Whether the device is a SCSI device; when it is not, why (every command then ends NoDevice,
    // sent false).
    bool IsScsi() const { return scsi_.has_value(); }
    const std::string& Problem() const { return problem_; }

  private:
    void Identify(const std::string& sysRoot);
    int Descriptor(bool write, scsi::Outcome& failure);

    std::string device_;
    std::optional<MapPathOf> map_;
    std::string node_;
    std::optional<ScsiDevice> scsi_;
    std::string problem_;
    int problemError_ = 0;  // errno of a path that cannot be reached
    int readOnly_ = -1;
    int readWrite_ = -1;
};

}  // namespace tessaly::targets
