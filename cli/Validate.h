// tessaly-cli validate: a qualification run of one unused disk for a cluster, as two hosts (two
// paths of a VLK device, or two initiator names on iSCSI). Each step checks one rule of SPC-3's
// persistent reservations and says PASS or FAIL with what the rule expects and what came back;
// every key the run made is removed at the end, after a failure or an interrupt too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cli/Arguments.h"
#include "cli/Exchange.h"
#include "cli/Output.h"
#include "cli/Transports.h"

namespace tessaly::cli {

// The exit status of validate refusing a disk that holds registrations (without --force).
inline constexpr int kDiskInUse = 4;

// The run on `device` (its number, or its LUN on iSCSI), or its plan without --yes. Ends with 0
// when every step passed, kFindings when one failed, kDiskInUse for a disk it refuses, or the
// status of a command that did not run. Notes on the commands travel in its steps.
DeviceReport Validate(const Invocation& invocation, Transports& transports, std::uint32_t device);

}  // namespace tessaly::cli
