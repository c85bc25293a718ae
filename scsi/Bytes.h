// Big-endian fields, as SCSI command blocks, parameter lists and replies hold them. Freestanding:
// the disk model of the stand-in driver reads and writes its replies with these too.
#pragma once

#include <cstdint>

namespace tessaly::scsi {

constexpr std::uint16_t LoadBe16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

constexpr std::uint32_t LoadBe32(const std::uint8_t* at) {
    return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
           (static_cast<std::uint32_t>(at[2]) << 8) | static_cast<std::uint32_t>(at[3]);
}

constexpr std::uint64_t LoadBe64(const std::uint8_t* at) {
    return (static_cast<std::uint64_t>(LoadBe32(at)) << 32) | LoadBe32(at + 4);
}

constexpr void StoreBe16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

constexpr void StoreBe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

constexpr void StoreBe64(std::uint8_t* at, std::uint64_t value) {
    StoreBe32(at, static_cast<std::uint32_t>(value >> 32));
    StoreBe32(at + 4, static_cast<std::uint32_t>(value));
}

}  // namespace tessaly::scsi
