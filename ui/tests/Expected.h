// Texts the program shows, written out once for the scenarios.
#pragma once

#include <string>
#include <vector>

namespace blackbox {

inline const char kOpenFailed[] = "Error opening \\\\.\\vlkpath. Error: 2\n";
inline const char kBadNumbers[] =
    "Please enter a valid value for Device Number and Path Number above.";

inline const std::vector<std::string> kCommandEntries = {"Read Persistent Reservation Key",
                                                         "Read Reservation", "Register Device",
                                                         "Reserve Device", "Clear Reservation"};

// Lines 2 to 8 of every data log block, between the banner and the rows.
inline const char kLogColumns[] = "00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F";
inline const char kLogRule[] =
    "-------------------------------------------------------------------------";
inline const char kUnderline[] = "               ====================";
inline const char kClosing[] = "#################################### ";

// Dump rows of data bytes that are all zero: the first row, a full later row, the last row.
inline const char kZeroFirstRow[] =
    " 00  00  00  00  00  00  00  00  00  00  00  00  00  00  00  00";
inline const char kZeroRow[] = "  00  00  00  00  00  00  00  00  00  00  00  00  00  00  00  00";
inline const char kZeroLastRow[] = "  00  00  00  00  00  00  00  00";

// A whole data log block: banner, device line, the fixed lines and the given rows.
std::vector<std::string> LogBlock(const std::string& banner, const std::string& device_line,
                                  const std::vector<std::string>& rows);

// Rows 1 to 10 of a dump whose bytes past the given leading rows are all zero.
std::vector<std::string> RowsThenZeros(const std::vector<std::string>& leading);

// The system message line that a failed call adds: the platform's own text for the error, as
// FormatMessageA gives it into an 80-character buffer, and one newline; empty when there is none.
std::string SystemMessageLine(unsigned long error);

// Lines first..first+count of a list, or fewer when it is shorter.
std::vector<std::string> Slice(const std::vector<std::string>& lines, size_t first, size_t count);

}  // namespace blackbox
