// The command line of tessaly-cli: what to do, to which devices, through which path, with which
// keys. A word that does not fit is named in the error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/Values.h"
#include "core/Commands.h"
#include "targets/iscsi/IscsiAddress.h"
#include "targets/iscsi/IscsiIdentity.h"

namespace tessaly::cli {

enum class Verb {
    Keys,
    Reservation,
    FullStatus,
    Capabilities,
    Scan,
    Register,
    Unregister,
    Reserve,
    Release,
    Clear,
    Preempt,
    GroupClear,
    Fence,
    Doctor,
    Validate,
};

// Devices worked on at once unless --parallel says otherwise: enough to keep a range of real
// arrays' disks, each answering in milliseconds, bound by the slowest of them.
inline constexpr std::size_t kDefaultParallel = 16;
inline constexpr std::size_t kMostParallel = 256;

struct Invocation {
    Verb verb = Verb::Keys;
    // The devices in the order given: VLK device numbers, or the LUNs of `iscsi`.
    std::vector<std::uint32_t> devices;
    std::optional<targets::IscsiAddress> iscsi;
    // Devices as the system names them (/dev/sdb, /dev/mapper/mpatha): `devices` are their places
    // in this list. `pathName` picks one path of a multipath map (sdc).
    std::vector<std::string> systemDevices;
    std::string pathName;
    std::string initiatorName;          // --initiator-name; empty: this host's own
    std::optional<targets::Isid> isid;  // --isid; none: derived from the initiator name
    std::uint32_t path = 0;
    bool allPaths = false;
    bool json = false;
    bool hex = false;
    ReservationKey key = FixedRegistrationKey();  // this host's key
    int retries = 3;                              // of a command met by a unit attention
    std::uint32_t timeoutSeconds = 10;            // of each command
    std::size_t parallel = kDefaultParallel;      // devices (and paths) worked on at once
    bool ignoreExisting = false;
    std::optional<ReservationKey> oldKey;
    std::uint8_t type = 0;
    ReservationKey victim{};
    bool abort = false;
    bool yes = false;
    // validate: the second host, a VLK path (--with Q) or an iSCSI initiator name (--with IQN).
    std::optional<std::uint32_t> withPath;
    std::string withInitiator;
    bool force = false;  // validate: take a disk that has registrations, removing them
};

struct ParsedArguments {
    std::optional<Invocation> invocation;
    std::string help;   // usage asked for with --help: print it and end with 0
    std::string error;  // a syntax error: print it and end with 1
    std::string word;   // the word the error is about, as typed; empty when it is about none
    bool json = false;  // --json was among the words, whatever else they hold
};

ParsedArguments ParseArguments(const std::vector<std::string>& words);

// The command's name as typed: "keys", "group-clear", ...
const char* VerbName(Verb verb);

// The general usage text.
std::string Usage();

}  // namespace tessaly::cli
