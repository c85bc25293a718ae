// The set-up text of the stand-in driver: which disks exist at start, their paths, the
// registrations other hosts or this host's paths hold, and the reservation holder of each disk.
//
// Freestanding: no heap, no exceptions, nothing of the standard library beyond <cstdint> and
// <cstddef>, so that the same code runs inside the kernel driver.
//
// The text, one statement a line ('#' starts a comment, blank lines are ignored, words are
// separated by spaces or tabs, keywords in any case):
//
//   device N paths LIST [unit-attentions]    disk N (0..100) with the paths of LIST (0..32),
//                                            e.g. "0,1,2" or "0-3" or "0,2-4"; with
//                                            "unit-attentions" the disk reports them
//   device N path LIST key KEY [reserve TYPE]
//                                            this host's paths of LIST of disk N, each registered
//                                            with KEY, the first holding the reservation of TYPE
//                                            when given
//   device N foreign LIST key KEY [reserve TYPE]
//                                            other hosts' initiators of LIST (0..7) the same way,
//                                            e.g. the several initiators of one cluster node
//   device N foreign F initiator NAME isid ISID
//                                            other hosts' initiator F of disk N has the initiator
//                                            port NAME,i,0xISID of its own (an iSCSI name of 1 to
//                                            63 of a-z 0-9 . - :, 12 hex digits): READ FULL
//                                            STATUS names it so (TransportID format 01b)
//   device N ptpl-capable                    disk N can persist through power loss (PTPL_C) and
//                                            takes APTPL
//   device N quirk NAME [NAME...]            disk N departs from SPC-3 as each NAME says
//                                            (all-registrants-open, generation-stuck, ...: the
//                                            table in Setup.cpp; sim/README.md tells each)
//   latency MS                               every disk answers each command MS milliseconds
//                                            (0..60000) after it took it
//   device N latency MS                      disk N does, whatever the line above says
//
// KEY is 16 hexadecimal digits (54455353414C5931) or 8 characters in double quotes ("TESSALY1");
// it may not be all zero. TYPE is a persistent reservation type: 1, 3, 5, 6, 7 or 8. A disk is
// declared once, before its registrations and quirks, has at most one reservation holder and
// each quirk once. The disk takes the registrations in the order of their lines, and of the
// numbers within a line (always ascending), which is the order READ KEYS lists them. Each latency
// is given at most once, a disk's after its "paths" line; without one a disk answers at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlksim {

inline constexpr std::uint32_t kSetupMaxDevice = 100;
inline constexpr std::uint32_t kSetupMaxPath = 32;
inline constexpr std::uint32_t kSetupMaxForeign = 7;
inline constexpr std::size_t kSetupKeySize = 8;
inline constexpr std::uint32_t kSetupMaxLatencyMs = 60000;
inline constexpr std::uint32_t kSetupMaxPortName = 63;

// An initiator port of a foreign initiator's own: its iSCSI name and session identifier.
struct SetupPort {
    bool present;
    std::uint8_t nameLength;
    char name[kSetupMaxPortName];
    std::uint8_t isid[6];
};

struct SetupRegistration {
    bool present;
    std::uint8_t order;  // 1 for the disk's first registration line, 2 for the second, ...
    std::uint8_t key[kSetupKeySize];
};

enum class SetupHolder : std::uint8_t { None = 0, Path = 1, Foreign = 2 };

struct SetupDevice {
    bool present;
    std::uint64_t paths;  // bit p set: path p exists
    bool unitAttentions;  // the disk reports unit attentions
    SetupRegistration pathKeys[kSetupMaxPath + 1];
    SetupRegistration foreignKeys[kSetupMaxForeign + 1];
    std::uint8_t registrationCount;
    SetupHolder holder;
    std::uint8_t holderNumber;  // the path or the foreign initiator holding the reservation
    std::uint8_t reservationType;
    std::uint32_t quirks;  // the disk model's kQuirk* bits; 0: the disk keeps every rule
    SetupPort ports[kSetupMaxForeign + 1];
    bool persistCapable;  // a "ptpl-capable" line
    bool latencySet;      // a "device N latency" line
    std::uint32_t latencyMs;
};

// The whole set-up. An aggregate with no constructor, so that a global instance needs no start-up
// code (the driver has none); ParseSetup writes every byte of it.
struct DiskSetup {
    SetupDevice devices[kSetupMaxDevice + 1];
    bool defaultLatencySet;  // a "latency" line
    std::uint32_t defaultLatencyMs;
};

// The milliseconds disk `device` takes to answer a command: its own latency, else the default,
// else 0; 0 for a disk that is not there.
std::uint32_t SetupLatency(const DiskSetup& setup, std::uint32_t device);

enum class SetupError : std::uint8_t {
    None = 0,
    BadCharacter,           // a byte that is not printable ASCII, a tab, or a line end
    UnknownWord,            // a keyword that is not one of the statement's words
    MissingWord,            // the line ends before the statement does
    TrailingText,           // more words after a complete statement
    BadNumber,              // not a plain decimal number
    DeviceOutOfRange,       // device number above 100
    PathOutOfRange,         // path number above 32
    ForeignOutOfRange,      // foreign initiator above 7
    BadPathList,            // empty element, reversed range or stray separator in a list
    DuplicatePath,          // a path or initiator listed twice
    DuplicateDevice,        // a second "paths" line for the same disk
    UndeclaredDevice,       // a registration for a disk that has no "paths" line before it
    UnknownPath,            // a registration on a path that the disk does not have
    BadKey,                 // not 16 hexadecimal digits nor 8 characters in quotes
    ZeroKey,                // an all-zero key, which registers nothing
    UnterminatedQuote,      // a quoted key without its closing quote
    DuplicateRegistration,  // the same path or foreign initiator registered twice
    BadReservationType,     // a reservation type other than 1, 3, 5, 6, 7, 8
    SecondHolder,           // a second reservation holder on one disk
    UnknownQuirk,           // a quirk name that is not in the table
    DuplicateQuirk,         // a quirk named twice for one disk
    LatencyOutOfRange,      // a latency above 60000 ms
    DuplicateLatency,       // the default latency, or one disk's, given twice
    BadInitiatorName,       // not 1 to 63 of a-z 0-9 . - :
    BadIsid,                // not 12 hexadecimal digits
    DuplicatePort,          // a foreign initiator given a port twice, or ptpl-capable twice
};

struct SetupParseResult {
    SetupError error;
    std::uint32_t line;  // 1-based line of the error; 0 on success

    bool Ok() const { return error == SetupError::None; }
};

// Parses `length` bytes of `text` (no terminating zero needed; a zero byte is an error) into
// `setup`. On failure `setup` holds no disks at all, never a part of the text.
SetupParseResult ParseSetup(const char* text, std::size_t length, DiskSetup& setup);

// A short English description of the error, for logs.
const char* SetupErrorText(SetupError error);

// The set-up text's name of one quirk (a single kQuirk* bit), or null for anything else.
const char* SetupQuirkName(std::uint32_t quirk);

}  // namespace vlksim
