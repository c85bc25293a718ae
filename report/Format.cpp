#include "report/Format.h"

#include <cstdarg>
#include <cstdio>

namespace tessaly {

std::string FormatText(const char* format, ...) {
    // Most texts fit the stack buffer and take one pass; a longer one is formatted again into a
    // string of its exact length.
    char buffer[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);

    std::string text;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof buffer) {
        text.assign(buffer, static_cast<std::size_t>(length));
    } else if (length > 0) {
        text.resize(static_cast<std::size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

}  // namespace tessaly
