// The command line of tessaly-cli over any words (one a line of the input), run to the end with a
// control device that does not open and no other transport: a syntax error or usage ends with 1
// or 0, nothing is sent and nothing succeeds; an accepted command line names devices and a path
// within range, each device once.
#include <algorithm>
#include <sstream>

#include "cli/Arguments.h"
#include "cli/Cli.h"
#include "cli/Values.h"
#include "fuzz/FuzzInput.h"
#include "testing/MemoryDialog.h"
#include "testing/MemoryDriverPort.h"

using tessaly::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words;
    std::string word;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }

    const tessaly::cli::ParsedArguments parsed = tessaly::cli::ParseArguments(words);
    Check(parsed.invocation.has_value() + !parsed.help.empty() + !parsed.error.empty() == 1,
          "exactly one of a command, usage or an error");
    if (parsed.invocation) {
        const auto& in = *parsed.invocation;
        Check(!in.devices.empty(), "an accepted command line names a device");
        Check(in.path <= tessaly::cli::kHighestPath, "the path is 0..32");
        Check(!in.iscsi || in.systemDevices.empty(), "an iSCSI target or system devices, not both");
        for (std::size_t i = 0; i < in.devices.size(); ++i) {
            Check(in.iscsi || !in.systemDevices.empty() ||
                      in.devices[i] <= tessaly::cli::kHighestDevice,
                  "VLK devices are 0..100");
            Check(std::count(in.devices.begin(), in.devices.end(), in.devices[i]) == 1,
                  "each device once");
        }
        Check(in.victim != in.key || in.victim == tessaly::ReservationKey{},
              "never this host's own key as the victim");
        Check(
            !in.withPath || (*in.withPath <= tessaly::cli::kHighestPath && *in.withPath != in.path),
            "validate's second host is another path, 0..32");
    }

    tessaly::testing::MemoryDriverPort driver;
    driver.FailOpen(2);
    tessaly::testing::RecordingPause pause;
    tessaly::testing::MapMessageLookup messages;
    std::ostringstream out;
    std::ostringstream err;
    const int status = tessaly::cli::Run(words, driver, pause, messages, out, err);
    Check(driver.calls.empty(), "nothing is sent without the control device");
    if (!parsed.invocation) {
        Check(status == (parsed.help.empty() ? 1 : 0), "1 for a syntax error, 0 for usage");
    } else if (!parsed.invocation->iscsi && parsed.invocation->systemDevices.empty()) {
        Check(status == 15, "15 for a VLK device without the control device");
    } else {
        Check(status != 0, "a failure for a transport this build lacks");
    }
    return 0;
}
