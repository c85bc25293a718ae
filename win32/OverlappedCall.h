// One control call on a handle opened for overlapped I/O (FILE_FLAG_OVERLAPPED), so that calls
// of many threads on one handle, or on many, are in flight at once, each given up at its time.
#pragma once

#include <cstdint>

namespace tessaly::win32 {

// The error of a call given up on: ERROR_TIMEOUT.
inline constexpr std::uint32_t kCallTimedOut = 1460;

// Sends the call and waits for it at most `timeoutMs` milliseconds; a call that has not ended by
// then is cancelled, waited for until the driver lets it go, and fails with kCallTimedOut.
// Returns 0 with the bytes returned, or the error of the call.
std::uint32_t OverlappedControl(void* handle, std::uint32_t code, const void* input,
                                std::uint32_t inputLength, void* output, std::uint32_t outputLength,
                                std::uint32_t* bytesReturned, std::uint32_t timeoutMs);

}  // namespace tessaly::win32
