#include <gtest/gtest.h>

#include <sstream>

#include "cli/tests/ModelDriver.h"
#include "cli/tests/RunCli.h"

namespace tessaly::cli {
namespace {

using testing::ModelDriver;
using testing::Outcome;
using testing::RunOn;

// Each finding of doctor on a disk set up to show it, and its fix mending it.
const char* kDoctorSetup =
    "device 0 paths 0,1\n"
    "device 0 path 0-1 key \"TESSALY1\" reserve 6\n"
    "device 1 paths 0-2\n"
    "device 1 path 0 key \"TESSALY1\" reserve 6\n"
    "device 2 paths 0,1\n"
    "device 2 path 0 key \"TESSALY1\" reserve 5\n"
    "device 2 path 1 key \"OLD-KEY1\"\n"
    "device 3 paths 0,1\n"
    "device 3 path 0-1 key \"TESSALY1\" reserve 1\n"
    "device 4 paths 0,1\n"
    "device 4 path 0-1 key \"TESSALY1\"\n"
    "device 4 foreign 3 key \"NODE-B01\" reserve 6\n"
    "device 5 paths 0\n"
    "device 5 path 0 key \"TESSALY1\"\n"
    "device 5 foreign 0 initiator iqn.2026-12.org.example:node-b isid 023d00000001\n"
    "device 5 foreign 1 initiator iqn.2026-12.org.example:node-b isid 023d00000002\n"
    "device 5 foreign 0-1 key \"NODE-B01\"\n"
    "device 6 paths 0\n"
    "device 6 ptpl-capable\n"
    "device 6 path 0 key \"TESSALY1\"\n";

// The finding codes and fixes of one device's report, as its lines give them.
struct Found {
    std::vector<std::string> codes;
    std::vector<std::string> fixes;
};
Found FoundIn(const std::string& out) {
    Found found;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        for (const char* severity : {"  error ", "  warning ", "  note "}) {
            if (line.rfind(severity, 0) == 0) {
                const std::size_t from = std::string(severity).size();
                found.codes.push_back(line.substr(from, line.find(':') - from));
            }
        }
        if (line.rfind("    fix: tessaly-cli ", 0) == 0) {
            found.fixes.push_back(line.substr(21));
        }
    }
    return found;
}

// The words of one command line of a fix ("register 1 --path 2 && reserve ...": each command).
std::vector<std::vector<std::string>> Commands(const std::string& fix) {
    std::vector<std::vector<std::string>> commands(1);
    std::istringstream words(fix);
    for (std::string word; words >> word;) {
        if (word == "&&") {
            commands.emplace_back();
        } else if (word != "tessaly-cli") {
            commands.back().push_back(word);
        }
    }
    return commands;
}

TEST(Doctor, EachFindingOnADiskThatShowsItAndItsFixMendsIt) {
    ModelDriver driver(kDoctorSetup);
    ASSERT_TRUE(driver.ok);
    const std::vector<std::string> expected[] = {
        {},
        {"path-not-registered"},
        {"key-differs-across-paths"},
        {"single-nexus-reservation"},
        {"holder-foreign"},
        {"stale-nexus"},
        {"no-persistence"},
    };
    const Outcome all = RunOn(driver, {"doctor", "0-6"});
    EXPECT_EQ(all.status, 3);
    EXPECT_NE(all.out.find("devices 0, 1, 2, 3, 4: a finding across them (split-holders)\n"
                           "  error split-holders: "),
              std::string::npos)
        << all.out;
    for (std::uint32_t device = 0; device < std::size(expected); ++device) {
        const std::string d = std::to_string(device);
        const Outcome one = RunOn(driver, {"doctor", d});
        const Found found = FoundIn(one.out);
        EXPECT_EQ(found.codes, expected[device]) << one.out;
        EXPECT_EQ(one.status, expected[device].empty() ? 0 : 3) << one.out;
        for (const auto& fix : found.fixes) {
            for (const auto& command : Commands(fix)) {
                EXPECT_EQ(RunOn(driver, command).status, 0) << fix;
            }
            const Outcome mended = RunOn(driver, {"doctor", d});
            EXPECT_EQ(mended.status, 0) << fix << "\n" << mended.out;
            EXPECT_EQ(mended.out.rfind("device " + d + ": healthy: ", 0), 0u) << mended.out;
        }
    }
}

TEST(Doctor, ADeviceWithoutReadFullStatusIsANoteAndItsPathsUnknown) {
    ModelDriver driver(kDoctorSetup);
    // READ FULL STATUS answered as a device without it answers: INVALID FIELD IN CDB.
    driver.reply = [](std::uint8_t* block, std::uint32_t&) {
        if (block[36] == 0x5E && (block[37] & 0x1F) == 0x03) {  // the command block's echo
            const std::uint8_t sense[] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};
            block[2] = 0x02;
            std::copy(std::begin(sense), std::end(sense), block + 60);
        }
    };
    const Outcome run = RunOn(driver, {"doctor", "1"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(FoundIn(run.out).codes, std::vector<std::string>{"unsupported"}) << run.out;
    const std::string json = RunOn(driver, {"--json", "doctor", "1"}).out;
    std::size_t unknown = 0;
    for (std::size_t at = 0; (at = json.find("\"known\": false", at)) != std::string::npos; ++at) {
        ++unknown;
    }
    EXPECT_EQ(unknown, 3u) << "what none of the three paths holds is known: " << json;
}

TEST(Doctor, TakesNoPathAndFailsOnADeviceWithoutOne) {
    ModelDriver driver(kDoctorSetup);
    EXPECT_EQ(RunOn(driver, {"doctor", "0", "--path", "0"}).status, 1);
    const int before = driver.calls;
    const Outcome missing = RunOn(driver, {"doctor", "9"});
    EXPECT_EQ(missing.status, 15) << missing.out;
    EXPECT_EQ(driver.calls - before, 33) << "one READ FULL STATUS a path, each refused";
}

}  // namespace
}  // namespace tessaly::cli
