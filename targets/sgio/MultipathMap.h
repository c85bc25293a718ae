// A device-mapper device (a dm-multipath map) and its paths, as sysfs shows them: the map's slaves
// (/sys/block/dm-N/slaves), a slave that is itself a device-mapper device followed down to its own,
// a slave that is a partition taken as its disk. An SG_IO on the map reaches whichever path the
// kernel picks; a reservation is held by an I_T nexus, so tessaly-cli sends to the paths by name.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "targets/sgio/SgioTarget.h"

namespace tessaly::targets {

struct MapPath {
    std::string name;  // the block device: "sdc"
    std::string node;  // "/dev/sdc"
};

class MultipathMap {
  public:
    // The map that `device` names (/dev/mapper/NAME, /dev/dm-N, or a link to either); nullopt when
    // it is no device-mapper device, with why in `problem` when given.
    static std::optional<MultipathMap> Open(const std::string& device,
                                            const std::string& sysRoot = "/sys",
                                            std::string* problem = nullptr);
    // The map of block device `block` ("dm-3"), from `sysRoot` alone; `device` is how it was
    // given. nullopt when `block` is no device-mapper device.
    static std::optional<MultipathMap> FromBlock(const std::string& sysRoot,
                                                 const std::string& block, std::string device);

    const std::string& Device() const { return device_; }
    const std::string& Name() const { return name_; }    // its dm name: "mpatha"
    const std::string& Block() const { return block_; }  // "dm-3"
    // Every path once, in the kernel's order of names (sdc, sdd, ..., sdz, sdaa).
    const std::vector<MapPath>& Paths() const { return paths_; }

    // The target of one path, or of every path in the order of Paths().
    std::unique_ptr<SgioTarget> OpenPath(const MapPath& path) const;
    std::vector<std::unique_ptr<SgioTarget>> OpenPaths() const;

  private:
    std::string sysRoot_;
    std::string device_;
    std::string name_;
    std::string block_;
    std::vector<MapPath> paths_;
};

// Whether `device` is a device-mapper device.
bool IsMap(const std::string& device, const std::string& sysRoot = "/sys");

}  // namespace tessaly::targets
