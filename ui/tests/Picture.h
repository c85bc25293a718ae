// Pictures of the screen as the tests leave them, written as PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace blackbox {

// CRC-32 of the PNG chunks (polynomial 0xEDB88320).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);
// Adler-32 of the zlib stream.
std::uint32_t Adler32(const std::uint8_t* data, std::size_t size);

// A PNG file of an 8-bit RGB picture, rows top to bottom, 3 bytes a pixel; the pixel data goes
// into stored (uncompressed) deflate blocks.
std::vector<std::uint8_t> EncodePng(int width, int height, const std::vector<std::uint8_t>& rgb);

// Copies the whole screen into a PNG file; false when the screen cannot be read or the file
// cannot be written.
bool SaveScreen(const std::wstring& path);

}  // namespace blackbox
