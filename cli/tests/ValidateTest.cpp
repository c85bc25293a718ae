#include <gtest/gtest.h>

#include <sstream>

#include "cli/Interrupt.h"
#include "cli/tests/ModelDriver.h"
#include "cli/tests/RunCli.h"

namespace tessaly::cli {
namespace {

using testing::ModelDriver;
using testing::Outcome;
using testing::RunOn;

// The steps a report says FAILED, and the lines that say so.
std::pair<std::vector<std::string>, std::string> Failed(const std::string& out) {
    std::vector<std::string> names;
    std::string lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  FAIL ", 0) == 0) {
            names.push_back(line.substr(7, line.find(' ', 7) - 7));
            lines += line + "\n";
        }
    }
    return {names, lines};
}

// Each quirk fails the step that shows it and no other, and its line tells the effect.
TEST(Validate, EachQuirkFailsTheStepThatShowsIt) {
    const struct {
        const char* quirk;
        const char* with;
        std::vector<std::string> failed;
        const char* effect;
    } cases[] = {
        {"", "2", {}, ""},
        {"all-registrants-open", "2", {"read-type-8"}, "RESERVATION CONFLICT; got GOOD"},
        {"full-status-key-swapped", "2", {"full-status"}, "where READ KEYS gives"},
        {"no-unit-attentions",
         "2",
         {"release-attention", "preempt-attention", "preempt-abort-attention", "clear-attention"},
         "host B heard nothing"},
        {"preempt-drops-own", "2", {"preempt-own-key"}, "keys host B's, no reservation"},
        {"reserve-again-conflicts", "2", {"reserve-again"}, "got RESERVATION CONFLICT"},
        {"register-overwrites-partner", "1", {"register"}, "READ KEYS: keys host B's\n"},
        {"generation-stuck", "2", {"generation"}, "CLEAR moved it by 0, not 1"},
        {"no-preempt-abort", "2", {"preempt-abort"}, "INVALID FIELD IN CDB (24h/00h)"},
    };
    std::string setup;
    for (std::size_t d = 0; d < std::size(cases); ++d) {
        setup += "device " + std::to_string(d) + " paths 0-2 unit-attentions\n";
        if (*cases[d].quirk != '\0') {
            setup += "device " + std::to_string(d) + " quirk " + cases[d].quirk + "\n";
        }
    }
    ModelDriver driver(setup);
    ASSERT_TRUE(driver.ok);
    for (std::size_t d = 0; d < std::size(cases); ++d) {
        const std::string device = std::to_string(d);
        const Outcome run =
            RunOn(driver, {"validate", device, "--path", "0", "--with", cases[d].with, "--yes"});
        const auto [failed, lines] = Failed(run.out);
        EXPECT_EQ(failed, cases[d].failed) << cases[d].quirk << "\n" << run.out;
        EXPECT_NE(lines.find(cases[d].effect), std::string::npos) << lines;
        EXPECT_EQ(run.status, failed.empty() ? 0 : 3) << run.out;
        EXPECT_NE(run.out.find("cleanup: every key the run made is gone (no key left"),
                  std::string::npos)
            << run.out;
    }
}

TEST(Validate, RefusesADiskInUseUnlessForcedAndPlansWithoutYes) {
    ModelDriver driver(
        "device 0 paths 0-2 unit-attentions\n"
        "device 0 foreign 3 key \"NODE-B01\" reserve 6\n");
    const std::vector<std::string> validate = {"validate", "0", "--path", "0", "--with", "1"};
    const auto with = [&](std::vector<std::string> extra) {
        auto words = validate;
        words.insert(words.end(), extra.begin(), extra.end());
        return RunOn(driver, words);
    };
    const auto keys = [&] { return RunOn(driver, {"keys", "0", "--path", "2"}).out; };
    const std::string before = keys();
    for (const auto& extra : {std::vector<std::string>{}, {"--yes"}}) {
        const Outcome refused = with(extra);
        EXPECT_EQ(refused.status, 4) << refused.out;
        EXPECT_NE(refused.out.find("refused: the disk holds 1 registration (0x4E4F44452D423031 "
                                   "\"NODE-B01\") and the reservation held by"),
                  std::string::npos)
            << refused.out;
        EXPECT_EQ(refused.err.find("add --yes"), std::string::npos) << "--yes would not do";
    }
    const Outcome plan = with({"--force"});
    EXPECT_EQ(plan.status, 0) << plan.out;
    EXPECT_NE(plan.out.find("first removing 1 registration"), std::string::npos) << plan.out;
    EXPECT_NE(plan.err.find("nothing was changed"), std::string::npos);
    EXPECT_EQ(RunOn(driver, {"validate", "0", "--path", "0", "--with", "5", "--yes"}).status, 15)
        << "a second host that cannot be reached";
    EXPECT_EQ(keys(), before) << "nothing changes without --yes --force, nor without the host";

    const Outcome forced = with({"--force", "--yes"});
    EXPECT_EQ(forced.status, 0) << forced.out;
    EXPECT_NE(forced.out.find("--force: removed 1 registration"), std::string::npos);
    EXPECT_NE(keys().find("no registered keys"), std::string::npos);
}

TEST(Validate, AnInterruptStopsTheRunAndTheKeysStillGo) {
    ModelDriver driver("device 0 paths 0-2 unit-attentions\n");
    driver.reply = [&driver](std::uint8_t*, std::uint32_t&) {
        if (driver.calls == 40) {
            NoteInterrupt();
        }
    };
    const Outcome run = RunOn(driver, {"validate", "0", "--path", "0", "--with", "2", "--yes"});
    EXPECT_EQ(run.status, 99) << run.out;
    EXPECT_EQ(run.out.rfind("device 0, path 0: stopped: interrupted; ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("NOT RUN generation"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("cleanup: every key the run made is gone"), std::string::npos);
    EXPECT_NE(RunOn(driver, {"keys", "0", "--path", "1"}).out.find("no registered keys"),
              std::string::npos);
    EXPECT_FALSE(InterruptArmed()) << "the next command is ended by an interrupt again";
}

}  // namespace
}  // namespace tessaly::cli
