#include "Expected.h"

#include <windows.h>

namespace blackbox {

std::vector<std::string> LogBlock(const std::string& banner, const std::string& device_line,
                                  const std::vector<std::string>& rows) {
    std::vector<std::string> block = {banner,      " ", device_line, kUnderline,
                                      kLogColumns, " ", kLogRule,    " "};
    block.insert(block.end(), rows.begin(), rows.end());
    block.push_back(kClosing);
    block.push_back(" ");
    return block;
}

std::vector<std::string> RowsThenZeros(const std::vector<std::string>& leading) {
    std::vector<std::string> rows = leading;
    if (rows.empty()) {
        rows.push_back(kZeroFirstRow);
    }
    while (rows.size() < 9) {
        rows.push_back(kZeroRow);
    }
    if (rows.size() < 10) {
        rows.push_back(kZeroLastRow);
    }
    return rows;
}

std::string SystemMessageLine(unsigned long error) {
    char buffer[80] = {};
    const DWORD count =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error, 0, buffer, 80, nullptr);
    if (count == 0) {
        return {};
    }
    return std::string(buffer) + "\n";
}

std::vector<std::string> Slice(const std::vector<std::string>& lines, size_t first, size_t count) {
    std::vector<std::string> part;
    for (size_t i = first; i < lines.size() && i < first + count; ++i) {
        part.push_back(lines[i]);
    }
    return part;
}

}  // namespace blackbox
