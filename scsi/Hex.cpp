#include "scsi/Hex.h"

namespace tessaly::scsi {

void AppendHex(std::string& text, std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
}

std::string Hex2(std::uint8_t byte) {
    std::string text;
    AppendHex(text, byte);
    return text;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            text += ' ';
        }
        AppendHex(text, bytes[i]);
    }
    return text;
}

}  // namespace tessaly::scsi
