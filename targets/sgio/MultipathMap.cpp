#include "targets/sgio/MultipathMap.h"

#include <algorithm>

namespace tessaly::targets {
namespace {

constexpr int kDeepest = 16;  // device-mapper devices stacked on each other, more is a loop

// The block devices under the device-mapper device at `folder`, its slaves followed down.
void CollectPaths(const std::string& folder, int depth, std::vector<std::string>& names) {
    if (depth > kDeepest) {
        return;
    }
    for (const std::string& slave : SysfsEntries(folder + "/slaves")) {
        const auto at = SysfsResolve(folder + "/slaves/" + slave);
        if (!at) {
            continue;  // gone while it was read
        }
        if (SysfsExists(*at + "/dm")) {
            CollectPaths(*at, depth + 1, names);
            continue;
        }
        const std::string name = SysfsExists(*at + "/partition")
                                     ? SysfsBaseName(at->substr(0, at->rfind('/')))
                                     : SysfsBaseName(*at);
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
}

}  // namespace

std::optional<MultipathMap> MultipathMap::FromBlock(const std::string& sysRoot,
                                                    const std::string& block, std::string device) {
    const std::string folder = sysRoot + "/block/" + block;
    if (block.empty() || block.find('/') != std::string::npos || !SysfsExists(folder + "/dm")) {
        return std::nullopt;
    }
    MultipathMap map;
    map.sysRoot_ = sysRoot;
    map.device_ = std::move(device);
    map.block_ = block;
    map.name_ = SysfsLine(folder + "/dm/name").value_or(block);
    std::vector<std::string> names;
    CollectPaths(SysfsResolve(folder).value_or(folder), 0, names);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (std::string& name : names) {
        map.paths_.push_back({name, "/dev/" + name});
    }
    return map;
}

std::optional<MultipathMap> MultipathMap::Open(const std::string& device,
                                               const std::string& sysRoot, std::string* problem) {
    const NodeLookup lookup = LookUpNode(device);
    std::string why = lookup.problem;
    if (lookup.number && lookup.number->block) {
        const auto self = SysfsResolve(SysfsDeviceLink(sysRoot, *lookup.number));
        if (auto map = FromBlock(sysRoot, self ? SysfsBaseName(*self) : "", device)) {
            return map;
        }
        why = device + " is not a device-mapper device";
    } else if (lookup.number) {
        why = device + " is not a block device";
    }
    if (problem != nullptr) {
        *problem = why;
    }
    return std::nullopt;
}

std::unique_ptr<SgioTarget> MultipathMap::OpenPath(const MapPath& path) const {
    return std::make_unique<SgioTarget>(MapPathOf{device_, name_, path.name}, sysRoot_);
}

std::vector<std::unique_ptr<SgioTarget>> MultipathMap::OpenPaths() const {
    std::vector<std::unique_ptr<SgioTarget>> targets;
    for (const MapPath& path : paths_) {
        targets.push_back(OpenPath(path));
    }
    return targets;
}

bool IsMap(const std::string& device, const std::string& sysRoot) {
    return MultipathMap::Open(device, sysRoot).has_value();
}

}  // namespace tessaly::targets
