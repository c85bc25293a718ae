// tessaly-cli run in the test's process over a driver port: its exit status and what it wrote.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "testing/MemoryDialog.h"

namespace tessaly::cli::testing {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline Outcome RunOn(DriverPort& driver, const std::vector<std::string>& arguments) {
    tessaly::testing::RecordingPause pause;
    tessaly::testing::MapMessageLookup messages;
    messages.texts[55] = "Device does not exist.\r\n";
    std::ostringstream out;
    std::ostringstream err;
    const int status = Run(arguments, driver, pause, messages, out, err);
    return {status, out.str(), err.str()};
}

}  // namespace tessaly::cli::testing
