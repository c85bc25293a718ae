#include "win32/Win32MessageLookup.h"

#include <windows.h>

#include <cstring>

namespace tessaly::win32 {
namespace {

constexpr DWORD kBufferSize = 80;

// True when the text holds an insert sequence (%1 to %99).
bool HasInserts(const char* text) {
    for (const char* p = std::strchr(text, '%'); p != nullptr; p = std::strchr(p + 1, '%')) {
        if (p[1] >= '1' && p[1] <= '9') {
            return true;
        }
        if (p[1] == '%') {
            ++p;  // a literal percent sign
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> Win32MessageLookup::MessageFor(std::uint32_t error) {
    // A system text that expects insert values would make FormatMessageA read arguments that are
    // not there, so look at the raw text first: such a text is given with its markers left in.
    char raw[kBufferSize];
    const DWORD rawCount =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, raw, kBufferSize, nullptr);
    if (rawCount == 0) {
        return std::nullopt;
    }
    if (HasInserts(raw)) {
        return std::string(raw, rawCount);
    }

    char buffer[kBufferSize];
    const DWORD count =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error, 0, buffer, kBufferSize, nullptr);
    if (count == 0 || count >= kBufferSize) {
        return std::nullopt;
    }
    return std::string(buffer, count);
}

}  // namespace tessaly::win32
