// Who this host is to an iSCSI target: its initiator name and the ISID of its sessions. A target
// tells I_T nexuses apart by the initiator name and the ISID together, so both have to be the same
// from one run of the program to the next for a registration to stay this host's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaly::targets {

// The InitiatorName= of an open-iscsi initiatorname.iscsi file (comments and blank lines passed
// over, spaces around the name trimmed); nullopt when it names none.
std::optional<std::string> InitiatorNameFromFile(std::string_view text);

// "iqn.2026-12.org.tessaly:" and the host name, lower case, every byte that an iSCSI name does
// not take (anything but a-z, 0-9, '-', '.') as '-'.
std::string InitiatorNameForHost(std::string_view hostName);

// The 6-byte ISID of a session, as the login carries it: the type in the top two bits of byte 0
// (00b OUI, 01b EN, 10b random, 11b reserved), then the A, B, C and D fields.
using Isid = std::array<std::uint8_t, 6>;

// The ISID of this host's sessions when none is given: the random type with the B and C fields (24
// bits) from a hash (FNV-1a) of the initiator name in lower case (iSCSI names compare without
// case), the A field and the qualifier D zero. The same name always gives the same ISID.
Isid IsidFromName(std::string_view initiatorName);

// An ISID as typed: 12 hex digits (0x in front allowed) of the OUI (00b), EN (01b) or random (10b)
// type; the EN and random types with their A field (the six bits after the type) zero, as the
// login's ISID rules them. The reserved type (11b) is refused. On failure, why.
struct ParsedIsid {
    Isid isid{};
    bool ok = false;
    std::string error;
};
ParsedIsid ParseIsid(std::string_view text);

// 12 lower-case hex digits.
std::string IsidText(const Isid& isid);

// The initiator port as READ FULL STATUS shows it in an iSCSI TransportID of format 01b:
// "NAME,i,0xISID", the ISID in 12 lower-case hex digits.
std::string InitiatorPortName(std::string_view initiatorName, const Isid& isid);

}  // namespace tessaly::targets
