// The address of iSCSI logical units as a person types it, and as the program writes it back:
//
//   iscsi://[user[%password]@]host[:port]/target-name/LUNS
//
// host: a name, an IPv4 address, or an IPv6 address in brackets; port 3260 unless given. The
// target name may hold %XX escapes (any byte, "%3A" for ':'), which are decoded. LUNS: N, N-M, or a
// comma list of both, each LUN 0..16383: the LUNs in the order given, each once. The user and the
// password are taken as they stand (the first '%' after the user separates them) and end at the
// last '@' before the first '/'; a password that holds a '/' has to come from the environment.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::targets {

inline constexpr std::uint16_t kIscsiDefaultPort = 3260;
inline constexpr std::uint16_t kHighestLun = 16383;  // the most the flat address method carries
inline constexpr std::size_t kMaxIscsiNameLength = 223;

struct IscsiAddress {
    std::string user;      // CHAP user name, empty when not given
    std::string password;  // CHAP secret, empty when not given
    std::string host;      // without brackets
    std::uint16_t port = kIscsiDefaultPort;
    std::string targetName;  // decoded
    std::vector<std::uint16_t> luns;

    bool IsIpv6() const { return host.find(':') != std::string::npos; }
    bool operator==(const IscsiAddress&) const = default;
};

// The parts of the address, for naming the one at fault.
enum class AddressPart : std::uint8_t { Scheme, User, Password, Host, Port, TargetName, Luns };

struct AddressError {
    AddressPart part = AddressPart::Scheme;
    std::string message;  // for a person: the part, what is wrong, the text at fault
};

struct ParsedAddress {
    IscsiAddress address;
    bool ok = false;
    AddressError error;  // when not ok
};

ParsedAddress ParseIscsiAddress(std::string_view text);

// "the port", "the target name", ...
const char* AddressPartName(AddressPart part);

// One LUN of the address for a person, without user or password:
// "iscsi://host:port/target-name/LUN", the port always written, an IPv6 host in brackets, and in
// the target name every byte that would not read back the same escaped as %XX.
std::string FormatIscsiAddress(const IscsiAddress& address, std::uint16_t lun);

// "host:port", an IPv6 host in brackets.
std::string FormatPortal(const IscsiAddress& address);

}  // namespace tessaly::targets
