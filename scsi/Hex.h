// Bytes as a person reads them: two upper-case hex digits a byte.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tessaly::scsi {

// The value of a hex digit of either case; -1 for another character.
constexpr int HexDigitValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// Appends the byte's two digits: 5E.
void AppendHex(std::string& text, std::uint8_t byte);
// "5E".
std::string Hex2(std::uint8_t byte);
// "5E 00 00 ..." with one blank between bytes; empty for none.
std::string HexBytes(std::span<const std::uint8_t> bytes);

}  // namespace tessaly::scsi
