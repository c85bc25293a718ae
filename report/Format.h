// printf-style formatting into a string of whatever length the result needs.
#pragma once

#include <string>

namespace tessaly {

#if defined(__GNUC__)
#define TESSALY_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TESSALY_PRINTF_FORMAT(fmt, args)
#endif

std::string FormatText(const char* format, ...) TESSALY_PRINTF_FORMAT(1, 2);

}  // namespace tessaly
