#include "cli/Arguments.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include "cli/Values.h"
#include "targets/winpt/DiskName.h"
#include "version/Version.h"

namespace tessaly::cli {
namespace {

// Options a command takes besides the global ones.
enum Option : unsigned {
    kPath = 1u << 0,
    kAllPaths = 1u << 1,
    kType = 1u << 2,
    kVictim = 1u << 3,
    kAbort = 1u << 4,
    kIgnoreExisting = 1u << 5,
    kOldKey = 1u << 6,
    kYes = 1u << 7,
    kWith = 1u << 8,
    kForce = 1u << 9,
};

struct VerbSpec {
    Verb verb;
    const char* name;
    bool range;         // DEVICES rather than one DEVICE
    unsigned allowed;   // Option bits
    unsigned required;  // Option bits that must be there (kPath|kAllPaths: one of the two)
    const char* arguments;
    const char* summary;
};

constexpr VerbSpec kVerbs[] = {
    {Verb::Keys, "keys", true, kPath, kPath, "DEVICES --path P",
     "READ KEYS: the generation and every registered key"},
    {Verb::Reservation, "reservation", true, kPath, kPath, "DEVICES --path P",
     "READ RESERVATION: the holder's key, scope and type"},
    {Verb::FullStatus, "full-status", true, kPath, kPath, "DEVICES --path P",
     "READ FULL STATUS: every registration, the holder, its port and TransportID"},
    {Verb::Capabilities, "capabilities", true, kPath, kPath, "DEVICES --path P",
     "REPORT CAPABILITIES: what the device supports"},
    {Verb::Scan, "scan", true, kPath, kPath, "DEVICES --path P",
     "one line a device: generation, registrations, holder, type"},
    {Verb::Register, "register", false, kPath | kAllPaths | kIgnoreExisting | kOldKey,
     kPath | kAllPaths, "DEVICE (--path P | --all-paths) [--ignore-existing] [--old-key K]",
     "register this host's key (REGISTER, or REGISTER AND IGNORE EXISTING KEY)"},
    {Verb::Unregister, "unregister", false, kPath | kAllPaths, kPath | kAllPaths,
     "DEVICE (--path P | --all-paths)", "remove this host's registration"},
    {Verb::Reserve, "reserve", false, kPath | kType, kPath | kType, "DEVICE --path P --type T",
     "RESERVE with this host's key"},
    {Verb::Release, "release", false, kPath | kType, kPath | kType, "DEVICE --path P --type T",
     "RELEASE this host's reservation"},
    {Verb::Clear, "clear", false, kPath, kPath, "DEVICE --path P",
     "CLEAR: remove every registration and the reservation"},
    {Verb::Preempt, "preempt", false, kPath | kType | kVictim | kAbort, kPath | kType | kVictim,
     "DEVICE --path P --victim K --type T [--abort]",
     "PREEMPT (AND ABORT) the registrations of the victim key"},
    {Verb::GroupClear, "group-clear", true, kPath | kYes, kPath, "DEVICES --path P [--yes]",
     "the dialog's clear on each device, then verified"},
    {Verb::Fence, "fence", true, kPath | kVictim | kYes, kPath | kVictim,
     "DEVICES --path P --victim K [--yes]",
     "PREEMPT AND ABORT the victim key under the path's own key, verify it is gone"},
    {Verb::Doctor, "doctor", true, 0, 0, "DEVICES",
     "read each device over every path and report what is wrong, with its fix"},
    {Verb::Validate, "validate", false, kPath | kWith | kYes | kForce, kPath | kWith,
     "DEVICE --path P --with Q [--yes] [--force]",
     "qualify an unused disk for a cluster as two hosts, then leave it as it was"},
};

struct OptionSpec {
    const char* name;
    unsigned bit;  // 0 for a global option
    bool value;
};
constexpr OptionSpec kOptions[] = {
    {"--json", 0, false},         {"--hex", 0, false},
    {"--key", 0, true},           {"--retries", 0, true},
    {"--timeout", 0, true},       {"--initiator-name", 0, true},
    {"--isid", 0, true},          {"--parallel", 0, true},
    {"--path", kPath, true},      {"--all-paths", kAllPaths, false},
    {"--type", kType, true},      {"--victim", kVictim, true},
    {"--abort", kAbort, false},   {"--ignore-existing", kIgnoreExisting, false},
    {"--old-key", kOldKey, true}, {"--yes", kYes, false},
    {"--with", kWith, true},      {"--force", kForce, false},
};

const VerbSpec* FindVerb(const std::string& name) {
    for (const auto& entry : kVerbs) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

const OptionSpec* FindOption(const std::string& name) {
    for (const auto& entry : kOptions) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

std::string CommandUsage(const VerbSpec& entry) {
    std::string text =
        "usage: tessaly-cli [--json] [--hex] [--key KEY] [--retries N] [--timeout S] [--parallel "
        "N] " +
        std::string(entry.name) + " " + entry.arguments + "\n  " + entry.summary + "\n";
    if (entry.allowed & kType) {
        text += "  --type T: 1 we, 3 ea, 5 we-ro, 6 ea-ro, 7 we-ar, 8 ea-ar\n";
    }
    if (entry.allowed & kYes) {
        text += "  without --yes nothing changes: the devices are read and the plan is shown\n";
    }
    if (entry.verb == Verb::GroupClear) {
        text +=
            "  a device is cleared only where its plan says so: the path holds the holder's\n"
            "  key, or holds none and the holder's key is this host's\n";
    }
    if (entry.verb == Verb::Doctor) {
        text +=
            "  reads only; exit status 3 when it finds something above a note; an iSCSI\n"
            "  address is checked through this host's one initiator\n";
    }
    if (entry.verb == Verb::Validate) {
        text +=
            "  --with: the second host, a path of the device (or with an iSCSI address the\n"
            "  initiator name of a second session, --with IQN); the disk must hold no\n"
            "  registration (--force removes them); every key it makes goes at the end;\n"
            "  exit status 0 when every step passed, 3 when one failed, 4 for a disk in use\n";
    }
    if (entry.verb == Verb::Fence) {
        text +=
            "  a path that holds a key keeps it and preempts under it; one that holds none\n"
            "  registers --key first; a path that holds the victim key itself is refused\n";
    }
    return text;
}

ParsedArguments Error(std::string text, std::string word = {}) {
    ParsedArguments parsed;
    parsed.error = std::move(text);
    parsed.word = std::move(word);
    return parsed;
}

// "U+FF14": the character at `at`, for the error that names it.
std::string CodePointAt(const std::string& word, std::size_t at) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", NextCodePoint(word, at));
    return text;
}

}  // namespace

const char* VerbName(Verb verb) {
    for (const auto& entry : kVerbs) {
        if (entry.verb == verb) {
            return entry.name;
        }
    }
    return "";
}

std::string Usage() {
    std::string text =
        "usage: tessaly-cli [--json] [--hex] [--key KEY] [--retries N] [--timeout S]\n"
        "       [--parallel N] COMMAND ARGS\n"
        "Persistent reservations of SCSI disks: through the VLK driver's control device, over\n"
        "iSCSI, or on disks and multipath maps as the system names them.\n\ncommands:\n";
    for (const auto& entry : kVerbs) {
        std::string line = "  " + std::string(entry.name) + " " + entry.arguments;
        text += line + "\n      " + entry.summary + "\n";
    }
    text +=
        "\nDEVICES: N, N-M or a comma list of both (0-5,9), devices 0..100; paths 0..32;\n"
        "  or an iSCSI address iscsi://[USER[%PASSWORD]@]HOST[:PORT]/TARGET/LUNS, LUNS as\n"
        "  above, without --path (--initiator-name IQN and --isid HEX12 name this host);\n"
        "  or devices as the system names them, a comma between two: /dev/sdX, /dev/sgN,\n"
        "  /dev/mapper/NAME (--path NAME picks a path of a map, --all-paths every path), or\n"
        "  \\\\.\\PhysicalDriveN.\n"
        "KEY: 16 hex digits (0x allowed) or 8 characters in quotes; --key is this host's key\n"
        "     (default 0x54455353414C5931 \"TESSALY1\", the key of tessaly.exe).\n"
        "--json: one JSON document on standard output; --hex: the data area as a hex dump;\n"
        "--retries N: retries of a command met by a unit attention (default 3);\n"
        "--timeout S: how long a command may take, in seconds (default 10);\n"
        "--parallel N: devices worked on at once (default 16), reported in the order given.\n"
        "Exit status: 0 success, 1 syntax error, 2 not ready, 5 illegal request, 6 unit\n"
        "attention left, 15 no control device or no such device or path, 24 reservation\n"
        "conflict, 74 standard output cannot be written, 77 no right to send (run as root,\n"
        "or as administrator), 97 reply that cannot be decoded, 99 anything else; doctor 3\n"
        "with findings, validate 3 with a failed step and 4 for a disk in use.\n"
        "tessaly-cli COMMAND --help tells more of one command; tessaly-cli --version tells\n"
        "which version this is.\n";
    return text;
}

namespace {

ParsedArguments ParseWords(const std::vector<std::string>& words) {
    Invocation invocation;
    const VerbSpec* verb = nullptr;
    std::optional<std::string> target;
    std::string pathText;
    unsigned given = 0;
    bool seen[std::size(kOptions)] = {};
    bool help = false;

    // Every word is ASCII: a digit or a letter of another script is never taken for one of ours.
    for (const std::string& word : words) {
        for (std::size_t at = 0; at < word.size(); ++at) {
            if (static_cast<unsigned char>(word[at]) >= 0x80) {
                return Error("'" + word + "' holds a character outside ASCII (" +
                                 CodePointAt(word, at) + "): type it in ASCII",
                             word);
            }
        }
    }

    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        if (word == "--help" || word == "-h" || word == "/?") {
            help = true;
            continue;
        }
        if (word == "--version") {
            ParsedArguments parsed;
            parsed.help = std::string("tessaly-cli ") + TESSALY_VERSION + "\n";
            return parsed;
        }
        if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
            if (verb == nullptr) {
                verb = FindVerb(word);
                if (verb == nullptr) {
                    return Error("'" + word + "' is not a command (tessaly-cli --help lists them)",
                                 word);
                }
            } else if (!target) {
                target = word;
            } else {
                return Error("'" + word + "' is one word too many", word);
            }
            continue;
        }
        std::optional<std::string> value;
        if (const auto equals = word.find('='); equals != std::string::npos) {
            value = word.substr(equals + 1);
            word.resize(equals);
        }
        const OptionSpec* option = FindOption(word);
        if (option == nullptr) {
            return Error("'" + word + "' is not an option", word);
        }
        if (std::exchange(seen[option - kOptions], true)) {
            return Error(word + " is given twice", word);
        }
        if (option->value && !value) {
            if (i + 1 >= words.size()) {
                return Error(word + " needs a value", word);
            }
            value = words[++i];
        } else if (!option->value && value) {
            return Error(word + " takes no value", word);
        }
        given |= option->bit;
        const std::string& v = value ? *value : word;
        if (word == "--json") {
            invocation.json = true;
        } else if (word == "--hex") {
            invocation.hex = true;
        } else if (word == "--key" || word == "--victim" || word == "--old-key") {
            const auto key = ParseKey(v);
            if (!key) {
                return Error("'" + v + "' is not a key for " + word +
                                 " (16 hex digits, or 8 characters in quotes)",
                             v);
            }
            (word == "--key"      ? invocation.key
             : word == "--victim" ? invocation.victim
                                  : invocation.oldKey.emplace()) = *key;
        } else if (word == "--retries") {
            const auto n = ParseNumber(v, 100);
            if (!n) {
                return Error("'" + v + "' is not a number of retries (0..100)", v);
            }
            invocation.retries = static_cast<int>(*n);
        } else if (word == "--timeout") {
            const auto n = ParseNumber(v, 3600);
            if (!n || *n == 0) {
                return Error("'" + v + "' is not a timeout in seconds (1..3600)", v);
            }
            invocation.timeoutSeconds = *n;
        } else if (word == "--parallel") {
            const auto n = ParseNumber(v, kMostParallel);
            if (!n || *n == 0) {
                return Error("'" + v + "' is not a number of devices at once (1..256)", v);
            }
            invocation.parallel = *n;
        } else if (word == "--initiator-name") {
            invocation.initiatorName = v;
        } else if (word == "--isid") {
            const targets::ParsedIsid isid = targets::ParseIsid(v);
            if (!isid.ok) {
                return Error("'" + v + "' is not an ISID: " + isid.error, v);
            }
            invocation.isid = isid.isid;
        } else if (word == "--path") {
            pathText = v;  // a number for VLK devices, a name for a multipath map's path
        } else if (word == "--with") {
            invocation.withInitiator = v;  // a path number or an initiator name: the address tells
        } else if (word == "--type") {
            const auto type = ParseType(v);
            if (!type) {
                return Error("'" + v + "' is not a reservation type (1, 3, 5, 6, 7, 8 or we, ea, " +
                                 "we-ro, ea-ro, we-ar, ea-ar)",
                             v);
            }
            invocation.type = *type;
        } else {
            invocation.allPaths |= word == "--all-paths";
            invocation.abort |= word == "--abort";
            invocation.ignoreExisting |= word == "--ignore-existing";
            invocation.yes |= word == "--yes";
            invocation.force |= word == "--force";
        }
    }

    ParsedArguments parsed;
    if (help) {
        parsed.help = verb != nullptr ? CommandUsage(*verb) : Usage();
        return parsed;
    }
    if (verb == nullptr) {
        return Error("no command given (tessaly-cli --help lists them)");
    }
    for (const auto& option : kOptions) {
        if ((given & option.bit) != 0 && (verb->allowed & option.bit) == 0) {
            return Error(std::string(option.name) + " does not go with " + verb->name, option.name);
        }
    }
    if (!target) {
        return Error(std::string(verb->range ? "DEVICES" : "DEVICE") + " is missing for " +
                     verb->name);
    }
    const unsigned paths = given & (kPath | kAllPaths);
    if (paths == (kPath | kAllPaths)) {
        return Error("--path and --all-paths exclude each other");
    }
    const bool iscsi = target->rfind("iscsi://", 0) == 0;
    if (!iscsi) {
        for (const char* iscsiOnly : {"--initiator-name", "--isid"}) {
            if (seen[FindOption(iscsiOnly) - kOptions]) {
                return Error(std::string(iscsiOnly) +
                                 " belongs to iSCSI addresses (iscsi://HOST/TARGET/LUNS)",
                             iscsiOnly);
            }
        }
    }
    if (iscsi) {
        // An iSCSI address names its logical units; the initiator is this host's session.
        const targets::ParsedAddress address = targets::ParseIscsiAddress(*target);
        if (!address.ok) {
            return Error("'" + *target + "' is not an iSCSI address: " + address.error.message,
                         *target);
        }
        if (paths != 0) {
            const char* option = (paths & kPath) != 0 ? "--path" : "--all-paths";
            return Error(std::string(option) +
                             " belongs to VLK devices and multipath maps: an iSCSI address names "
                             "its LUNs, and this host reaches them through one session",
                         option);
        }
        invocation.iscsi = address.address;
        invocation.devices.assign(address.address.luns.begin(), address.address.luns.end());
        if ((given & kWith) != 0 && (invocation.withInitiator.empty() ||
                                     invocation.withInitiator == invocation.initiatorName)) {
            return Error("--with names the second initiator: an iSCSI name other than this host's",
                         invocation.withInitiator);
        }
    } else if (target->front() == '/' ||
               targets::DiskDeviceName(target->substr(0, target->find(',')))) {
        // Devices as the system names them, a comma between two: /dev/sdb, /dev/mapper/mpatha on
        // Linux, \\.\PhysicalDrive3 (or PhysicalDrive3) on Windows. --path names a path of a
        // multipath map (sdc); which device is a map is told on use.
        const bool linux = target->front() == '/';
        for (std::size_t start = 0;;) {
            const std::size_t comma = target->find(',', start);
            const std::string device = target->substr(start, comma - start);
            const auto disk = targets::DiskDeviceName(device);
            if (linux ? device.empty() || device.front() != '/' : !disk) {
                return Error("'" + device + "' is not a device " +
                                 (linux ? "path (/dev/...)" : "name (\\\\.\\PhysicalDriveN)"),
                             device);
            }
            invocation.devices.push_back(
                static_cast<std::uint32_t>(invocation.systemDevices.size()));
            invocation.systemDevices.push_back(linux ? device : *disk);
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        invocation.pathName = pathText;
        if ((given & kWith) != 0) {
            return Error(
                "--with names a second VLK path or iSCSI initiator: validate a Linux "
                "device through its iSCSI address, or through the VLK driver",
                "--with");
        }
    } else {
        if (paths == 0 && (verb->required & (kPath | kAllPaths)) != 0) {
            return Error(std::string("--path is missing for ") + verb->name, "--path");
        }
        if ((paths & kPath) != 0) {
            const auto n = ParseNumber(pathText, kHighestPath);
            if (!n) {
                return Error("'" + pathText + "' is not a path number (0..32)", pathText);
            }
            invocation.path = *n;
        }
        if ((given & kWith) != 0) {
            const auto with = ParseNumber(invocation.withInitiator, kHighestPath);
            if (!with || *with == invocation.path) {
                return Error("'" + invocation.withInitiator +
                                 "' is not a second path for --with (0..32, not --path)",
                             invocation.withInitiator);
            }
            invocation.withPath = *with;
            invocation.withInitiator.clear();
        }
        const DeviceList list = ParseDevices(*target);
        if (list.devices.empty()) {
            return Error("'" + list.badWord + "' is not a device number or range (0..100)",
                         list.badWord);
        }
        invocation.devices = list.devices;
    }
    for (const auto& option : kOptions) {
        if ((verb->required & option.bit & ~(kPath | kAllPaths)) != 0 && !(given & option.bit)) {
            return Error(std::string(option.name) + " is missing for " + verb->name);
        }
    }
    if (!verb->range && invocation.devices.size() != 1) {
        return Error("'" + *target + "': " + verb->name + " takes one device", *target);
    }
    if (invocation.key == ReservationKey{}) {
        return Error("a zero --key is no registration");
    }
    if (invocation.ignoreExisting && invocation.oldKey) {
        return Error("--old-key does not go with --ignore-existing, which replaces any key");
    }
    if ((given & kVictim) != 0) {
        if (invocation.victim == invocation.key) {
            return Error("the victim key is this host's own key " + KeyText(invocation.key));
        }
        if (invocation.victim == ReservationKey{}) {
            return Error("a victim key of zero names no registration");
        }
    }
    invocation.verb = verb->verb;
    parsed.invocation = invocation;
    return parsed;
}

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& words) {
    ParsedArguments parsed = ParseWords(words);
    parsed.json = std::find(words.begin(), words.end(), "--json") != words.end();
    return parsed;
}

}  // namespace tessaly::cli
