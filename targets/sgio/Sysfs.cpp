#include "targets/sgio/Sysfs.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tessaly::targets {

namespace fs = std::filesystem;

std::optional<std::string> SysfsLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        return std::nullopt;
    }
    line.erase(line.find_last_not_of(" \t\r\n") + 1);
    return line;
}

std::optional<std::string> SysfsResolve(const std::string& path) {
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    if (error) {
        return std::nullopt;
    }
    return resolved.string();
}

std::string SysfsBaseName(const std::string& path) {
    return fs::path(path).filename().string();
}

bool SysfsExists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}

std::vector<std::string> SysfsEntries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

std::string SysfsDeviceLink(const std::string& sysRoot, const DeviceNumber& number) {
    return sysRoot + (number.block ? "/dev/block/" : "/dev/char/") + std::to_string(number.major) +
           ":" + std::to_string(number.minor);
}

NodeLookup LookUpNode(const std::string& path) {
    NodeLookup lookup;
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    if (error) {
        lookup.error = error.value();
        lookup.problem = lookup.error == ENOENT
                             ? path + " does not exist"
                             : path + " cannot be reached: " + std::strerror(lookup.error);
        return lookup;
    }
    lookup.node = resolved.string();
    struct stat info {};
    if (stat(lookup.node.c_str(), &info) != 0) {
        lookup.error = errno;
        lookup.problem = path + " cannot be reached: " + std::strerror(lookup.error);
        return lookup;
    }
    if (!S_ISBLK(info.st_mode) && !S_ISCHR(info.st_mode)) {
        lookup.problem = path + (path == lookup.node ? "" : " (" + lookup.node + ")") +
                         " is not a device node but a " +
                         (S_ISDIR(info.st_mode) ? "folder" : "file");
        return lookup;
    }
    lookup.number = DeviceNumber{S_ISBLK(info.st_mode), major(info.st_rdev), minor(info.st_rdev)};
    return lookup;
}

}  // namespace tessaly::targets
