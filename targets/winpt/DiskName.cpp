#include "targets/winpt/DiskName.h"

#include "core/RequestLayout.h"

namespace tessaly::targets {
namespace {

constexpr std::string_view kPhysicalDrive = "PhysicalDrive";
constexpr std::uint32_t kFirstStandInDisk = 10000;

bool IsSlash(char c) {
    return c == '\\' || c == '/';
}

// The length of a "\\.\" or "\\?\" prefix at the start of `text` (4), or 0.
std::size_t PrefixLength(std::string_view text) {
    return text.size() >= 4 && IsSlash(text[0]) && IsSlash(text[1]) &&
                   (text[2] == '.' || text[2] == '?') && IsSlash(text[3])
               ? 4
               : 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view start) {
    if (text.size() < start.size()) {
        return false;
    }
    for (std::size_t i = 0; i < start.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(text[i]) != lower(start[i])) {
            return false;
        }
    }
    return true;
}

// A disk number as Windows writes it: decimal digits without a leading zero, at most 2^32 - 1.
std::optional<std::uint32_t> DiskNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// The number of "PhysicalDriveN" (any case).
std::optional<std::uint32_t> PhysicalDriveNumber(std::string_view name) {
    if (!StartsWithNoCase(name, kPhysicalDrive)) {
        return std::nullopt;
    }
    return DiskNumber(name.substr(kPhysicalDrive.size()));
}

}  // namespace

std::optional<std::string> DiskDeviceName(std::string_view typed) {
    for (const char c : typed) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return std::nullopt;
        }
    }
    const std::size_t prefix = PrefixLength(typed);
    if (prefix == 0) {
        if (PhysicalDriveNumber(typed)) {
            return "\\\\.\\" + std::string(typed);
        }
        return std::nullopt;
    }
    const std::string_view name = typed.substr(prefix);
    if (name.empty() || IsSlash(name[0])) {
        return std::nullopt;
    }
    constexpr std::string_view kControlDevice = "vlkpath";
    if (StartsWithNoCase(name, kControlDevice) &&
        (name.size() == kControlDevice.size() || IsSlash(name[kControlDevice.size()]))) {
        return std::nullopt;
    }
    return std::string(typed);
}

std::optional<StandInPath> StandInDiskObject(std::string_view deviceName) {
    const std::size_t prefix = PrefixLength(deviceName);
    if (prefix == 0) {
        return std::nullopt;
    }
    const auto number = PhysicalDriveNumber(deviceName.substr(prefix));
    if (!number || *number < kFirstStandInDisk) {
        return std::nullopt;
    }
    const StandInPath at{(*number - kFirstStandInDisk) / 100, *number % 100};
    if (at.device > kHighestDevice || at.path > kHighestPath) {
        return std::nullopt;
    }
    return at;
}

}  // namespace tessaly::targets
