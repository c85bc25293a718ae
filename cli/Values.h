// The values a person gives and reads: reservation keys, reservation types and scopes, device
// lists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/RequestLayout.h"
#include "scsi/PersistentReservation.h"

namespace tessaly::cli {

using scsi::ReservationKey;
using tessaly::kHighestDevice;
using tessaly::kHighestPath;

// A key as typed: 16 hex digits (0x in front allowed), or 8 characters in quotes. Eight bare
// characters are taken as text too, unless all eight are hex digits, which could mean either.
std::optional<ReservationKey> ParseKey(std::string_view text);

// "0x" and 16 upper-case hex digits, then the text in quotes when all 8 bytes are printable ASCII:
// 0x54455353414C5931 "TESSALY1".
std::string KeyText(const ReservationKey& key);
std::string KeyHex(const ReservationKey& key);
// The 8 bytes as text when all are printable ASCII.
std::optional<std::string> KeyAscii(const ReservationKey& key);

// Reservation types: 1h, 3h, 5h, 6h, 7h, 8h, typed as the number or as we, ea, we-ro, ea-ro,
// we-ar, ea-ar in any case.
std::optional<std::uint8_t> ParseType(std::string_view text);

// A decimal number within 0..highest, nothing else.
std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t highest);

// N, N-M, or a comma list of both, each number 0..100: the devices in the order given, each once.
// On a syntax error, the word at fault.
struct DeviceList {
    std::vector<std::uint32_t> devices;
    std::string badWord;  // when `devices` is empty: the word at fault
};
DeviceList ParseDevices(std::string_view text);

// The code point of the UTF-8 sequence at `at`, moving `at` past it; U+FFFD for a byte that
// starts no valid sequence, which is then passed over alone.
unsigned NextCodePoint(const std::string& text, std::size_t& at);

}  // namespace tessaly::cli
