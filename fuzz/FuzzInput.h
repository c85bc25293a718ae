// What the fuzz targets share: reading an input front to back, and a check that stops the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace tessaly::fuzz {

// Reads a fuzz input from its first byte on; past the end every read gives zeros, so that any
// input, however short, means something.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : at_(data), end_(data + size) {}

    bool Empty() const { return at_ == end_; }

    std::uint8_t Byte() { return at_ != end_ ? *at_++ : 0; }

    std::uint32_t Le16() {
        const std::uint32_t low = Byte();
        return low | (std::uint32_t{Byte()} << 8);
    }

    std::uint32_t Le32() {
        const std::uint32_t low = Le16();
        return low | (Le16() << 16);
    }

    // `count` bytes, zeros where the input ends.
    void Bytes(std::uint8_t* to, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            to[i] = Byte();
        }
    }

    // At most `count` bytes, as they stand.
    std::string_view Text(std::size_t count) {
        const std::size_t left = static_cast<std::size_t>(end_ - at_);
        const std::size_t n = count < left ? count : left;
        const std::string_view text(reinterpret_cast<const char*>(at_), n);
        at_ += n;
        return text;
    }

  private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

// A broken promise: names it and aborts, which libFuzzer reports as a crash with the input.
inline void Check(bool holds, const char* promise) {
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", promise);
        std::abort();
    }
}

}  // namespace tessaly::fuzz
