// Bytes as a person reads them: two upper-case hex digits a byte.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tessaly::scsi {

// Appends the byte's two digits: 5E.
void AppendHex(std::string& text, std::uint8_t byte);
// "5E".
std::string Hex2(std::uint8_t byte);
// "5E 00 00 ..." with one blank between bytes; empty for none.
std::string HexBytes(std::span<const std::uint8_t> bytes);

}  // namespace tessaly::scsi
