#include "cli/Values.h"

#include <algorithm>

#include "scsi/Hex.h"

namespace tessaly::cli {
namespace {

bool IsPrintable(std::uint8_t c) {
    return c >= 0x20 && c <= 0x7E;
}

std::optional<ReservationKey> KeyFromText(std::string_view text) {
    if (text.size() != 8 || !std::all_of(text.begin(), text.end(), [](char c) {
            return IsPrintable(static_cast<std::uint8_t>(c));
        })) {
        return std::nullopt;
    }
    ReservationKey key;
    std::copy(text.begin(), text.end(), key.begin());
    return key;
}

struct TypeEntry {
    std::uint8_t type;
    const char* shortName;
};
constexpr TypeEntry kTypes[] = {
    {0x1, "we"}, {0x3, "ea"}, {0x5, "we-ro"}, {0x6, "ea-ro"}, {0x7, "we-ar"}, {0x8, "ea-ar"},
};

}  // namespace

std::optional<ReservationKey> ParseKey(std::string_view text) {
    if (text.size() == 10 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return KeyFromText(text.substr(1, 8));
    }
    std::string_view hex = text;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) {
        hex.remove_prefix(2);
    }
    const bool allHex = !hex.empty() && std::all_of(hex.begin(), hex.end(), [](char c) {
        return scsi::HexDigitValue(c) >= 0;
    });
    if (allHex && hex.size() == 16) {
        ReservationKey key;
        for (std::size_t i = 0; i < key.size(); ++i) {
            key[i] = static_cast<std::uint8_t>(scsi::HexDigitValue(hex[2 * i]) * 16 +
                                               scsi::HexDigitValue(hex[2 * i + 1]));
        }
        return key;
    }
    if (allHex || hex.size() != text.size()) {
        return std::nullopt;  // short hex, or 8 hex digits that could be either form
    }
    return KeyFromText(text);
}

std::string KeyHex(const ReservationKey& key) {
    std::string text = "0x";
    for (const std::uint8_t byte : key) {
        scsi::AppendHex(text, byte);
    }
    return text;
}

std::optional<std::string> KeyAscii(const ReservationKey& key) {
    if (!std::all_of(key.begin(), key.end(), IsPrintable)) {
        return std::nullopt;
    }
    return std::string(key.begin(), key.end());
}

std::string KeyText(const ReservationKey& key) {
    const auto ascii = KeyAscii(key);
    return ascii ? KeyHex(key) + " \"" + *ascii + "\"" : KeyHex(key);
}

std::optional<std::uint8_t> ParseType(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    for (const auto& entry : kTypes) {
        if (lower == entry.shortName) {
            return entry.type;
        }
    }
    const auto number = ParseNumber(text, 0xF);
    if (number && scsi::TypeName(static_cast<std::uint8_t>(*number)) != nullptr) {
        return static_cast<std::uint8_t>(*number);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t highest) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > highest) {
        return std::nullopt;
    }
    return value;
}

DeviceList ParseDevices(std::string_view text) {
    DeviceList list;
    auto add = [&list](std::uint32_t device) {
        if (std::find(list.devices.begin(), list.devices.end(), device) == list.devices.end()) {
            list.devices.push_back(device);
        }
    };
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view word = text.substr(start, comma - start);
        const std::size_t dash = word.find('-');
        const auto first = ParseNumber(word.substr(0, dash), kHighestDevice);
        const auto last = dash == std::string_view::npos
                              ? first
                              : ParseNumber(word.substr(dash + 1), kHighestDevice);
        if (!first || !last || *first > *last) {
            list.devices.clear();
            list.badWord = std::string(word.empty() ? text : word);
            return list;
        }
        for (std::uint32_t device = *first; device <= *last; ++device) {
            add(device);
        }
        if (comma == std::string_view::npos) {
            return list;
        }
        start = comma + 1;
    }
}

unsigned NextCodePoint(const std::string& text, std::size_t& at) {
    const auto byte = [&text](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned lead = byte(at++);
    const int length = lead >= 0xF8   ? 0
                       : lead >= 0xF0 ? 3
                       : lead >= 0xE0 ? 2
                       : lead >= 0xC0 ? 1
                                      : 0;
    unsigned value = lead & (0x3Fu >> length);
    for (int i = 0; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    static constexpr unsigned kLeast[] = {0x80, 0x800, 0x10000};
    if (length == 0 || value < kLeast[length - 1] || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        return 0xFFFD;
    }
    at += static_cast<std::size_t>(length);
    return value;
}

}  // namespace tessaly::cli
