#include "win32/ConsoleText.h"

#include <windows.h>

namespace tessaly::win32 {
namespace {

std::string Utf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(length - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    return out;
}

bool WriteAll(HANDLE handle, const char* bytes, std::size_t count) {
    while (count > 0) {
        DWORD written = 0;
        const DWORD chunk = count > 0x10000 ? 0x10000 : static_cast<DWORD>(count);
        if (!WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

}  // namespace

std::vector<std::string> CommandLineWords(int count, wchar_t** words) {
    std::vector<std::string> out;
    for (int i = 1; words != nullptr && i < count; ++i) {
        out.push_back(Utf8(words[i]));
    }
    return out;
}

StandardHandleBuffer::StandardHandleBuffer(unsigned long whichHandle)
    : handle_(GetStdHandle(whichHandle)) {
    DWORD mode = 0;
    console_ = GetConsoleMode(handle_, &mode) != 0;
}

StandardHandleBuffer::int_type StandardHandleBuffer::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        pending_ += traits_type::to_char_type(c);
    }
    return traits_type::not_eof(c);
}

std::streamsize StandardHandleBuffer::xsputn(const char* text, std::streamsize count) {
    pending_.append(text, static_cast<std::size_t>(count));
    return count;
}

// Whole pieces are written at once, so a character is never cut between two writes.
int StandardHandleBuffer::sync() {
    if (pending_.empty()) {
        return 0;
    }
    std::string text;
    text.reserve(pending_.size() + pending_.size() / 16);
    for (const char c : pending_) {
        if (c == '\n') {
            text += '\r';
        }
        text += c;
    }
    pending_.clear();
    if (!console_) {
        return WriteAll(handle_, text.data(), text.size()) ? 0 : -1;
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    DWORD written = 0;
    return WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &written,
                         nullptr) != 0
               ? 0
               : -1;
}

}  // namespace tessaly::win32
