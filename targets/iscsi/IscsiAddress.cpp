#include "targets/iscsi/IscsiAddress.h"

#include <algorithm>

#include "scsi/Hex.h"

namespace tessaly::targets {
namespace {

constexpr std::string_view kScheme = "iscsi://";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number of at most `digits` digits within 0..highest (leading zeros allowed when
// `leadingZeros`); -1 otherwise.
long Decimal(std::string_view text, std::size_t digits, long highest, bool leadingZeros) {
    if (text.empty() || text.size() > digits || !std::all_of(text.begin(), text.end(), IsDigit)) {
        return -1;
    }
    if (!leadingZeros && text.size() > 1 && text[0] == '0') {
        return -1;
    }
    long value = 0;
    for (const char c : text) {
        value = value * 10 + (c - '0');
    }
    return value <= highest ? value : -1;
}

bool IsIpv4(std::string_view text) {
    int parts = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        if (Decimal(text.substr(0, dot), 3, 255, false) < 0) {
            return false;
        }
        ++parts;
        if (dot == std::string_view::npos) {
            return parts == 4;
        }
        text.remove_prefix(dot + 1);
    }
}

// The 16-bit groups of one side of an IPv6 address ("" has none); an IPv4 address may end the
// last side and counts as two. -1 when malformed.
int Ipv6Groups(std::string_view text, bool ipv4Tail) {
    if (text.empty()) {
        return 0;
    }
    int groups = 0;
    while (true) {
        const std::size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && ipv4Tail &&
            group.find('.') != std::string_view::npos) {
            return IsIpv4(group) ? groups + 2 : -1;
        }
        if (group.empty() || group.size() > 4 ||
            !std::all_of(group.begin(), group.end(),
                         [](char c) { return scsi::HexDigitValue(c) >= 0; })) {
            return -1;
        }
        ++groups;
        if (colon == std::string_view::npos) {
            return groups;
        }
        text.remove_prefix(colon + 1);
    }
}

bool IsIpv6(std::string_view text) {
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        return Ipv6Groups(text, true) == 8;
    }
    if (text.find("::", gap + 1) != std::string_view::npos) {
        return false;
    }
    const int left = Ipv6Groups(text.substr(0, gap), false);
    const int right = Ipv6Groups(text.substr(gap + 2), true);
    return left >= 0 && right >= 0 && left + right <= 7;
}

bool IsHostName(std::string_view text) {
    if (text.empty() || text.size() > 253) {
        return false;
    }
    if (std::all_of(text.begin(), text.end(), [](char c) { return IsDigit(c) || c == '.'; })) {
        return IsIpv4(text);  // all digits and dots: an IPv4 address or nothing
    }
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view label = text.substr(0, dot);
        const auto fits = [](char c) {
            return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                   c == '_';
        };
        if (label.empty() || label.size() > 63 || !std::all_of(label.begin(), label.end(), fits) ||
            label.front() == '-' || label.back() == '-') {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(dot + 1);
    }
}

// Whether `c` stands for itself in a written target name.
bool KeepsItself(unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '%' && c != '/' && c != '?' && c != '#' && c != '@';
}

std::string Quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string out = "'";
    out.append(text.substr(0, kShown));
    if (text.size() > kShown) {
        out += "...";
    }
    return out + "'";
}

ParsedAddress Fail(AddressPart part, std::string message) {
    ParsedAddress parsed;
    parsed.error = {part, std::string(AddressPartName(part)) + ": " + std::move(message)};
    return parsed;
}

// The LUN list as cli's device lists go: N, N-M, or a comma list of both, each once.
bool ParseLuns(std::string_view text, std::vector<std::uint16_t>& luns, std::string& bad) {
    std::vector<bool> seen(kHighestLun + 1u);
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const std::size_t dash = item.find('-');
        const long first = Decimal(item.substr(0, dash), 5, kHighestLun, true);
        const long last = dash == std::string_view::npos
                              ? first
                              : Decimal(item.substr(dash + 1), 5, kHighestLun, true);
        if (first < 0 || last < first) {
            bad = std::string(item);
            return false;
        }
        for (long lun = first; lun <= last; ++lun) {
            if (!seen[static_cast<std::size_t>(lun)]) {
                seen[static_cast<std::size_t>(lun)] = true;
                luns.push_back(static_cast<std::uint16_t>(lun));
            }
        }
        if (comma == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(comma + 1);
    }
}

}  // namespace

const char* AddressPartName(AddressPart part) {
    switch (part) {
        case AddressPart::Scheme:
            return "the scheme";
        case AddressPart::User:
            return "the user name";
        case AddressPart::Password:
            return "the password";
        case AddressPart::Host:
            return "the host";
        case AddressPart::Port:
            return "the port";
        case AddressPart::TargetName:
            return "the target name";
        case AddressPart::Luns:
            return "the LUNs";
    }
    return "the address";
}

ParsedAddress ParseIscsiAddress(std::string_view text) {
    const bool schemeFits =
        text.size() >= kScheme.size() &&
        std::equal(kScheme.begin(), kScheme.end(), text.begin(), [](char a, char b) {
            return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
        });
    if (!schemeFits) {
        return Fail(AddressPart::Scheme, "the address begins with iscsi://, not " + Quoted(text));
    }
    text.remove_prefix(kScheme.size());

    IscsiAddress address;
    const std::size_t slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        const std::size_t split = userInfo.find('%');
        address.user = std::string(userInfo.substr(0, split));
        if (address.user.empty()) {
            return Fail(AddressPart::User, "empty before '@'");
        }
        if (split != std::string_view::npos) {
            address.password = std::string(userInfo.substr(split + 1));
            if (address.password.empty()) {
                return Fail(AddressPart::Password, "empty after '%'");
            }
        }
        authority.remove_prefix(at + 1);
    }

    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos || !IsIpv6(authority.substr(1, close - 1))) {
            return Fail(AddressPart::Host,
                        Quoted(authority) + " is not an IPv6 address in brackets");
        }
        address.host = std::string(authority.substr(1, close - 1));
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return Fail(AddressPart::Host, Quoted(rest) + " follows the ']'");
        }
        hasPort = !rest.empty();
        portText = hasPort ? rest.substr(1) : rest;
    } else {
        const std::size_t colon = authority.find(':');
        address.host = std::string(authority.substr(0, colon));
        if (!IsHostName(address.host)) {
            return Fail(
                AddressPart::Host,
                address.host.empty()
                    ? std::string("missing")
                    : Quoted(address.host) +
                          " is not a name, an IPv4 address, or an IPv6 address in brackets");
        }
        hasPort = colon != std::string_view::npos;
        portText = hasPort ? authority.substr(colon + 1) : std::string_view();
    }
    if (hasPort) {
        const long port = Decimal(portText, 5, 65535, true);
        if (port < 1) {
            return Fail(AddressPart::Port, Quoted(portText) + " is not a number from 1 to 65535");
        }
        address.port = static_cast<std::uint16_t>(port);
    }

    if (slash == std::string_view::npos) {
        return Fail(AddressPart::TargetName, "missing: iscsi://host/target-name/LUNS");
    }
    text.remove_prefix(slash + 1);
    const std::size_t lastSlash = text.rfind('/');
    const std::string_view name = text.substr(0, lastSlash);
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%') {
            address.targetName += name[i];
            continue;
        }
        const int high = i + 2 < name.size() ? scsi::HexDigitValue(name[i + 1]) : -1;
        const int low = high >= 0 ? scsi::HexDigitValue(name[i + 2]) : -1;
        if (low < 0) {
            return Fail(AddressPart::TargetName,
                        Quoted(name.substr(i, 3)) + " is not %XX with two hex digits");
        }
        address.targetName += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (address.targetName.empty()) {
        return Fail(AddressPart::TargetName, "missing: iscsi://host/target-name/LUNS");
    }
    if (address.targetName.size() > kMaxIscsiNameLength) {
        return Fail(AddressPart::TargetName, "longer than 223 bytes");
    }
    if (std::any_of(address.targetName.begin(), address.targetName.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
        return Fail(AddressPart::TargetName,
                    Quoted(name) + " holds a space or a control character");
    }

    if (lastSlash == std::string_view::npos || lastSlash + 1 == text.size()) {
        return Fail(AddressPart::Luns,
                    "missing: N, N-M, or a comma list of both, after the last '/'");
    }
    std::string bad;
    if (!ParseLuns(text.substr(lastSlash + 1), address.luns, bad)) {
        return Fail(AddressPart::Luns,
                    Quoted(bad) + " is not N or N-M (N not above M) with LUNs from 0 to 16383");
    }

    ParsedAddress parsed;
    parsed.address = std::move(address);
    parsed.ok = true;
    return parsed;
}

std::string FormatPortal(const IscsiAddress& address) {
    std::string out = address.IsIpv6() ? "[" + address.host + "]" : address.host;
    return out + ":" + std::to_string(address.port);
}

std::string FormatIscsiAddress(const IscsiAddress& address, std::uint16_t lun) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = std::string(kScheme) + FormatPortal(address) + "/";
    for (const char c : address.targetName) {
        const auto byte = static_cast<unsigned char>(c);
        if (KeepsItself(byte)) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out + "/" + std::to_string(lun);
}

}  // namespace tessaly::targets
