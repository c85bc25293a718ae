#include <gtest/gtest.h>

#include <sstream>

#include "cli/Cli.h"
#include "cli/tests/ModelDriver.h"
#include "cli/tests/RunCli.h"
#include "core/Commands.h"
#include "sim/config/DefaultSetup.h"
#include "testing/MemoryDialog.h"

namespace tessaly::cli {
namespace {

using testing::ModelDriver;
using testing::Outcome;
using testing::RunOn;

std::string DefaultDisks() {
    return std::string(vlksim::kDefaultSetupText, vlksim::kDefaultSetupLength);
}

TEST(Cli, ReadsOnTheDefaultDisksOneFactALine) {
    ModelDriver driver(DefaultDisks());
    ASSERT_TRUE(driver.ok);
    const Outcome reservation = RunOn(driver, {"reservation", "2,4", "--path=0"});
    EXPECT_EQ(reservation.status, 0);
    EXPECT_EQ(reservation.out,
              "device 2, path 0: READ RESERVATION\n"
              "  generation: 0x00000000\n"
              "  holder: 0x4E4F44452D423031 \"NODE-B01\"\n"
              "  scope: logical unit\n"
              "  type: Exclusive Access - Registrants Only (6h)\n"
              "device 4, path 0: READ RESERVATION\n"
              "  generation: 0x00000000\n"
              "  no reservation\n");
    EXPECT_EQ(driver.calls, 2);
}

TEST(Cli, ExitStatusOfTheFirstFailureAfterEveryDevice) {
    ModelDriver driver(DefaultDisks());
    const Outcome range = RunOn(driver, {"--json", "keys", "3-4", "--path", "0"});
    EXPECT_EQ(range.status, 15);
    EXPECT_NE(range.out.find("\"device\": 4"), std::string::npos) << "every device is reported";
    EXPECT_NE(range.out.find("error 55: Device does not exist."), std::string::npos);
    EXPECT_TRUE(range.err.empty()) << range.err;

    const Outcome conflict = RunOn(driver, {"reserve", "2", "--path", "0", "--type", "ea-ro"});
    EXPECT_EQ(conflict.status, 24);
    EXPECT_EQ(conflict.out,
              "device 2, path 0: RESERVE Exclusive Access - Registrants Only (6h): RESERVATION "
              "CONFLICT\n");

    driver.openError = 2;
    const Outcome closed = RunOn(driver, {"keys", "0-1", "--path", "0"});
    EXPECT_EQ(closed.status, 15);
    EXPECT_EQ(closed.err, "tessaly-cli: cannot open \\\\.\\vlkpath: error 2\n");
    EXPECT_EQ(driver.calls, 3) << "nothing is sent without the control device";

    driver.openError = 5;  // a console that is not elevated
    const Outcome denied = RunOn(driver, {"keys", "0", "--path", "0"});
    EXPECT_EQ(denied.status, 77);
    EXPECT_NE(denied.out.find("Run as administrator"), std::string::npos) << denied.out;
}

TEST(Cli, SyntaxErrorsNameTheWord) {
    ModelDriver driver(DefaultDisks());
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"kyes", "0", "--path", "0"}, "'kyes' is not a command"},
        {{"keys", "0-101", "--path", "0"}, "'0-101' is not a device"},
        {{"keys", "0", "--path", "33"}, "'33' is not a path number"},
        {{"keys", "0"}, "--path is missing for keys"},
        {{"keys", "0", "--path", "0", "--type", "6"}, "--type does not go with keys"},
        {{"register", "0-2", "--path", "0"}, "'0-2': register takes one device"},
        {{"fence", "0", "--path", "0", "--victim", "TESSALY1"}, "this host's own key"},
        {{"preempt", "0", "--path", "0", "--victim", "DEADBEEF", "--type", "6"}, "'DEADBEEF'"},
        {{"keys", "0", "1", "--path", "0"}, "'1' is one word too many"},
        {{"keys", "0", "--path", "0", "--key", "0x0000000000000000"}, "a zero --key"},
        {{"validate", "0", "--path", "1", "--with", "1"}, "'1' is not a second path"},
        {{"validate", "0", "--path", "1"}, "--with is missing for validate"},
        {{"doctor", "0", "--yes"}, "--yes does not go with doctor"},
    };
    for (const auto& [arguments, named] : cases) {
        const Outcome outcome = RunOn(driver, arguments);
        EXPECT_EQ(outcome.status, 1) << named;
        EXPECT_NE(outcome.err.find(named), std::string::npos) << outcome.err;
    }
    EXPECT_EQ(driver.calls, 0);
    EXPECT_EQ(RunOn(driver, {"fence", "--help"}).status, 0);
    // With --json the error is a document too, the word as typed escaped as its characters.
    const Outcome json = RunOn(driver, {"--json", "register", "\xEF\xBC\x94", "--path", "0"});
    EXPECT_NE(json.out.find("\"word\": \"\\uff14\""), std::string::npos) << json.out;
}

TEST(Cli, RepliesTooShortOrInconsistentEndWith97) {
    ModelDriver driver(DefaultDisks());
    // The device says two keys follow but the transfer holds only one.
    driver.reply = [](std::uint8_t* block, std::uint32_t&) {
        block[12] = 16;  // DataTransferLength: the header and one key
    };
    EXPECT_EQ(RunOn(driver, {"keys", "1", "--path", "0"}).status, 97);
    // The driver returns fewer bytes than the transfer it reports.
    driver.reply = [](std::uint8_t*, std::uint32_t& returned) { returned = 100; };
    const Outcome short_ = RunOn(driver, {"keys", "1", "--path", "0"});
    EXPECT_EQ(short_.status, 97);
    EXPECT_NE(short_.out.find("too few"), std::string::npos) << short_.out;
}

// Answers with CHECK CONDITION, UNIT ATTENTION as many times as told, then as the disk would.
void UnitAttentions(ModelDriver& driver, int count) {
    driver.reply = [count](std::uint8_t* block, std::uint32_t&) mutable {
        // Fixed-format sense: UNIT ATTENTION, RESERVATIONS PREEMPTED.
        const std::uint8_t sense[] = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x2A, 0x03};
        if (count-- > 0) {
            block[2] = 0x02;  // CHECK CONDITION
            std::copy(std::begin(sense), std::end(sense), block + 60);
        }
    };
}

TEST(Cli, UnitAttentionsRetriedAndOneLeftOver) {
    ModelDriver driver(DefaultDisks());
    UnitAttentions(driver, 2);
    const Outcome retried = RunOn(driver, {"reservation", "0", "--path", "0"});
    EXPECT_EQ(retried.status, 0);
    EXPECT_NE(retried.err.find("RESERVATIONS PREEMPTED (2Ah/03h); sent again (retry 2 of 3)"),
              std::string::npos)
        << retried.err;
    UnitAttentions(driver, 2);
    const Outcome left = RunOn(driver, {"--retries", "1", "reservation", "0", "--path", "0"});
    EXPECT_EQ(left.status, 6);
    EXPECT_NE(left.out.find("CHECK CONDITION: UNIT ATTENTION"), std::string::npos) << left.out;
}

TEST(Cli, GroupClearPlansWithoutYesAndVerifiesWithIt) {
    ModelDriver driver(DefaultDisks());
    const Outcome plan = RunOn(driver, {"group-clear", "0-5", "--path", "0"});
    EXPECT_EQ(plan.status, 15) << "device 3 does not exist";
    EXPECT_NE(plan.err.find("nothing was changed; add --yes"), std::string::npos) << plan.err;
    const int readsOnly = driver.calls;
    EXPECT_EQ(readsOnly, 11) << "READ FULL STATUS and READ RESERVATION where the device exists";

    const Outcome done = RunOn(driver, {"group-clear", "0-5", "--path", "0", "--yes"});
    EXPECT_EQ(done.status, 24) << "device 2 stays held, the first failure";
    const std::string expected[] = {
        "device 0, path 0: cleared: every registration went with the reservation\n",
        "device 1, path 0: cleared: every registration went with the reservation\n",
        "device 2, path 0: not cleared: held by 0x4E4F44452D423031 \"NODE-B01\"",
        "device 3, path 0: failed: the device or its path does not exist",
        "device 4, path 0: nothing held\n",
        "device 5, path 0: cleared: every registration went with the reservation\n",
    };
    std::size_t at = 0;
    for (const auto& line : expected) {
        const std::size_t found = done.out.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\n" << done.out;
        at = found == std::string::npos ? at : found;
    }
    // The same reads; devices 0, 1 and 5 then get REGISTER, CLEAR and a read after them.
    EXPECT_EQ(driver.calls - readsOnly, readsOnly + 3 * 3);

    const Outcome idle = RunOn(driver, {"group-clear", "0-1,4", "--path", "0"});
    EXPECT_NE(idle.err.find("--yes would change nothing either"), std::string::npos) << idle.err;
}

TEST(Cli, ManyInFlightReportAsOneAfterAnother) {
    // A range with every outcome: missing devices (3, 8), a conflict, unit attentions (6, 7, the
    // clear raises them on the other paths), and a device that never answers (5). Run one device
    // at a time and sixteen at once, on disks that answer in another order than asked.
    const std::vector<std::vector<std::string>> commands = {
        {"--json", "scan", "0-8", "--path", "0"},
        {"--json", "group-clear", "0-8", "--path", "1", "--yes"},
        {"fence", "0-8", "--path", "0", "--victim", "NODE-C03", "--yes"},
        {"reserve", "2", "--path", "0", "--type", "6"},
        {"register", "7", "--all-paths", "--key", "NODE-A01", "--ignore-existing"},
    };
    for (const auto& command : commands) {
        Outcome outcomes[2];
        for (int i = 0; i < 2; ++i) {
            ModelDriver driver(DefaultDisks());
            driver.silent = {5};
            driver.jitter = true;
            auto arguments = command;
            arguments.insert(arguments.begin(), {"--parallel", i == 0 ? "1" : "16"});
            outcomes[i] = RunOn(driver, arguments);
        }
        EXPECT_EQ(outcomes[0].status, outcomes[1].status) << command[1];
        EXPECT_EQ(outcomes[0].out, outcomes[1].out) << command[1];
        EXPECT_EQ(outcomes[0].err, outcomes[1].err) << command[1];
        EXPECT_NE(outcomes[1].status, 1) << outcomes[1].err;
    }
}

TEST(Cli, GroupClearSendsTheDialogsRequests) {
    ModelDriver driver(DefaultDisks());
    ASSERT_EQ(RunOn(driver, {"group-clear", "1", "--path", "2", "--yes"}).status, 0);
    // READ FULL STATUS, then the dialog's READ RESERVATION, REGISTER and CLEAR, then a read.
    ASSERT_EQ(driver.requests.size(), 5u);
    // The dialog's clear carries the key its read took: TESSALY1, device 1's holder.
    auto read = BuildCommandRequest(Command::ReadReservation, 1, 2, CurrentKey{});
    const ReservationKey holder = FixedRegistrationKey();
    std::copy(holder.begin(), holder.end(), read.OutputArea() + 92 + 8);
    CurrentKey key;
    key.CaptureFrom(read);
    const Command dialog[] = {Command::ReadReservation, Command::RegisterDevice,
                              Command::ClearReservation};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto expected = BuildCommandRequest(dialog[i], 1, 2, key);
        const auto& sent = driver.requests[i + 1];
        const auto cdb = [](const std::uint8_t* request) {
            return std::vector<std::uint8_t>(request + 44, request + 44 + 16);
        };
        EXPECT_EQ(cdb(sent.data()), cdb(expected.Bytes())) << i;
        EXPECT_EQ(std::vector<std::uint8_t>(sent.begin() + 100, sent.begin() + 124),
                  std::vector<std::uint8_t>(expected.Bytes() + 100, expected.Bytes() + 124))
            << "the parameter list of request " << i;
    }
}

TEST(Cli, RegisterOnEveryPathSkipsThoseThatDoNotExist) {
    ModelDriver driver(DefaultDisks());
    const Outcome outcome = RunOn(driver, {"register", "0", "--all-paths", "--key", "'HOST-A01'"});
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_NE(outcome.out.find("  path 1: GOOD\n  paths that do not exist, skipped: 2-32\n"),
              std::string::npos)
        << outcome.out;
    const Outcome keys = RunOn(driver, {"keys", "0", "--path", "1"});
    EXPECT_NE(keys.out.find("registered keys: 3"), std::string::npos) << keys.out;
    EXPECT_EQ(RunOn(driver, {"register", "3", "--all-paths"}).status, 15);
}

TEST(Cli, FenceTakesTheDeadNodesKeyOffAndVerifies) {
    ModelDriver driver(DefaultDisks());
    const std::vector<std::string> fence = {"fence", "6-7", "--path", "1", "--victim", "NODE-C03"};
    const Outcome plan = RunOn(driver, fence);
    EXPECT_EQ(plan.status, 0);
    EXPECT_EQ(plan.out,
              "device 6, path 1: victim key 0x4E4F44452D433033 \"NODE-C03\" not registered: "
              "nothing to do\n"
              "device 7, path 1: would PREEMPT AND ABORT 0x4E4F44452D433033 \"NODE-C03\" under "
              "0x54455353414C5931 \"TESSALY1\", the key path 1 holds, with Exclusive Access - "
              "Registrants Only (6h)\n");

    auto withYes = fence;
    withYes.push_back("--yes");
    const Outcome done = RunOn(driver, withYes);
    EXPECT_EQ(done.status, 0) << done.out;
    EXPECT_NE(done.out.find("device 7, path 1: fenced: victim key 0x4E4F44452D433033 \"NODE-C03\" "
                            "gone\n"),
              std::string::npos)
        << done.out;
    const Outcome status = RunOn(driver, {"full-status", "7", "--path", "0"});
    EXPECT_EQ(status.out.find("NODE-C03"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("holder: yes"), std::string::npos) << "path 1 took the reservation";
}

TEST(Cli, GroupClearDoesWhatItsPlanSays) {
    // Path 0 of each device holds: 0 nothing, 1 nothing, 2 the holder's key, 3 another key than
    // the holder's, 4 the reservation itself, 5 one of all registrants; 6 and 7 a key that READ
    // FULL STATUS does not show (eight other descriptors fill its data area first); 8 is free.
    const char* setup =
        "device 0 paths 0\n"
        "device 0 foreign 0 key \"TESSALY1\" reserve 6\n"
        "device 1 paths 0\n"
        "device 1 foreign 1 key \"NODE-B01\" reserve 6\n"
        "device 2 paths 0\n"
        "device 2 foreign 1 key \"NODE-B01\" reserve 6\n"
        "device 2 path 0 key \"NODE-B01\"\n"
        "device 3 paths 0\n"
        "device 3 path 0 key \"OLD-KEY1\"\n"
        "device 3 foreign 2 key \"TESSALY1\" reserve 6\n"
        "device 4 paths 0\n"
        "device 4 path 0 key \"TESSALY1\" reserve 5\n"
        "device 5 paths 0\n"
        "device 5 path 0 key \"TESSALY1\"\n"
        "device 5 foreign 1 key \"TESSALY1\" reserve 8\n"
        "device 6 paths 0\n"
        "device 6 foreign 0-7 key \"TESSALY1\" reserve 6\n"
        "device 6 path 0 key \"TESSALY1\"\n"
        "device 7 paths 0\n"
        "device 7 foreign 0-7 key \"NODE-B01\" reserve 6\n"
        "device 7 path 0 key \"NODE-B01\"\n"
        "device 8 paths 0\n";
    const bool clears[] = {true, false, true, false, true, false, true, false, false};
    ModelDriver driver(setup);
    ASSERT_TRUE(driver.ok);
    const Outcome plan = RunOn(driver, {"group-clear", "0-8", "--path", "0"});
    const Outcome done = RunOn(driver, {"group-clear", "0-8", "--path", "0", "--yes"});
    std::istringstream plans(plan.out);
    std::istringstream outcomes(done.out);
    std::string planned;
    std::string line;
    for (std::uint32_t device = 0; std::getline(plans, planned); ++device) {
        do {
            std::getline(outcomes, line);
        } while (line.rfind("  ", 0) == 0);
        const std::string where = "device " + std::to_string(device) + ", path 0: ";
        EXPECT_EQ(
            planned.rfind(where + (clears[device] ? "would clear" : "would not clear"), 0) == 0,
            device != 8)
            << planned;
        EXPECT_EQ(line.rfind(where + "cleared", 0) == 0, clears[device]) << line;
        EXPECT_EQ(RunOn(driver, {"reservation", std::to_string(device), "--path", "0"})
                          .out.find("no reservation") != std::string::npos,
                  clears[device] || device == 8)
            << device;
    }
    EXPECT_EQ(done.status, 24);
}

}  // namespace
}  // namespace tessaly::cli
