// The command lines of tessaly-cli that the replies target runs, picked by the input's first byte;
// the seed writer records the disk model's answers to each.
#pragma once

#include <string>
#include <vector>

namespace tessaly::fuzz {

inline const std::vector<std::vector<std::string>> kCliCommandLines = {
    {"keys", "0-1", "--path", "0"},
    {"--json", "reservation", "0", "--path", "1"},
    {"full-status", "2", "--path", "0"},
    {"--json", "capabilities", "0", "--path", "0"},
    {"scan", "0-2", "--path", "0"},
    {"--json", "--hex", "keys", "5", "--path", "0"},
    {"group-clear", "0-1", "--path", "0", "--yes"},
    {"--json", "fence", "0-1", "--path", "0", "--victim", "NODE-C03", "--yes"},
    {"fence", "7", "--path", "0", "--victim", "NODE-C03"},
    {"--retries", "2", "register", "0", "--all-paths"},
    {"preempt", "7", "--path", "1", "--victim", "NODE-C03", "--type", "6", "--abort"},
    {"--json", "group-clear", "4", "--path", "0"},
    {"--json", "doctor", "0-7"},
    {"validate", "4", "--path", "0", "--with", "1", "--yes"},
};

}  // namespace tessaly::fuzz
