// tessaly-cli: persistent reservations for scripts and consoles. Reads and changes the
// reservations of one device or a range, through one path, decodes what the devices answer, and
// ends with the exit status of the first failure.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/Transports.h"
#include "core/DriverPort.h"
#include "core/Pause.h"
#include "report/MessageLookup.h"

namespace tessaly::cli {

// The version of the JSON document's layout: 2 since each device names its target and transport.
inline constexpr int kFormatVersion = 2;

// Runs the program on its arguments (the program's own name left out) over the transports this
// build has, writing the report to `out` and notes and errors to `err`; returns the exit status.
int Run(const std::vector<std::string>& arguments, Transports& transports, Pause& pause,
        std::ostream& out, std::ostream& err);

// The same over the VLK driver's control device through `driver`.
int Run(const std::vector<std::string>& arguments, DriverPort& driver, Pause& pause,
        MessageLookup& messages, std::ostream& out, std::ostream& err);

}  // namespace tessaly::cli
