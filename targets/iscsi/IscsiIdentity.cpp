#include "targets/iscsi/IscsiIdentity.h"

#include "scsi/Hex.h"

namespace tessaly::targets {
namespace {

constexpr std::string_view kSpaces = " \t\r\n";
constexpr char kHex[] = "0123456789abcdef";

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kSpaces);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpaces) - first + 1);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::optional<std::string> InitiatorNameFromFile(std::string_view text) {
    constexpr std::string_view kKey = "InitiatorName=";
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.substr(0, kKey.size()) == kKey) {
            const std::string_view name = Trim(line.substr(kKey.size()));
            if (!name.empty()) {
                return std::string(name);
            }
        }
    }
    return std::nullopt;
}

std::string InitiatorNameForHost(std::string_view hostName) {
    std::string name = "iqn.2026-12.org.tessaly:";
    for (const char c : hostName.empty() ? std::string_view("localhost") : hostName) {
        const char l = Lower(c);
        name += (l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') || l == '.' ? l : '-';
    }
    return name;
}

Isid IsidFromName(std::string_view initiatorName) {
    std::uint32_t hash = 2166136261u;
    for (const char c : initiatorName) {
        hash = (hash ^ static_cast<unsigned char>(Lower(c))) * 16777619u;
    }
    const std::uint32_t bc = (hash ^ (hash >> 24)) & 0xFFFFFF;  // xor-folded to 24 bits
    return {0x80,
            static_cast<std::uint8_t>(bc >> 16),
            static_cast<std::uint8_t>(bc >> 8),
            static_cast<std::uint8_t>(bc),
            0,
            0};
}

ParsedIsid ParseIsid(std::string_view text) {
    ParsedIsid parsed;
    if (text.size() > 2 && text[0] == '0' && Lower(text[1]) == 'x') {
        text.remove_prefix(2);
    }
    if (text.size() != 12) {
        parsed.error = "an ISID is 12 hex digits";
        return parsed;
    }
    for (std::size_t i = 0; i < 12; ++i) {
        const int digit = scsi::HexDigitValue(text[i]);
        if (digit < 0) {
            parsed.error = "an ISID is 12 hex digits";
            return parsed;
        }
        parsed.isid[i / 2] = static_cast<std::uint8_t>(parsed.isid[i / 2] << 4 | digit);
    }
    const std::uint8_t type = parsed.isid[0] >> 6;
    if (type == 3) {
        parsed.error = "the ISID's type (its first two bits) is 11b, the reserved type";
        return parsed;
    }
    if (type != 0 && (parsed.isid[0] & 0x3F) != 0) {
        parsed.error =
            "an ISID of the EN or random type begins with 40 or 80 (its A field is zero)";
        return parsed;
    }
    parsed.ok = true;
    return parsed;
}

std::string IsidText(const Isid& isid) {
    std::string text;
    for (const std::uint8_t byte : isid) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}

std::string InitiatorPortName(std::string_view initiatorName, const Isid& isid) {
    return std::string(initiatorName) + ",i,0x" + IsidText(isid);
}

}  // namespace tessaly::targets
