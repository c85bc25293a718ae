// The native tessaly-cli's doctor and validate against the private tgt target that
// scripts/tgt-target.sh starts (LUNs 1 to 4), as a script meets them:
//   scripts/tgt-target.sh run DIR --luns 4 -- cli_tgt_tests
// tgt ties a registration to its session, so the other hosts' registrations and reservations are
// made here, in sessions of their own that stay logged in while the program runs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "scsi/PersistentReservation.h"
#include "targets/iscsi/IscsiTarget.h"

namespace tessaly::cli {
namespace {

std::string Url(const std::string& luns) {
    return std::string("iscsi://") + std::getenv("TESSALY_TGT_PORTAL") + "/" +
           std::getenv("TESSALY_TGT_IQN") + "/" + luns;
}

struct Ran {
    int status;
    std::string out;
};

Ran Cli(const std::string& arguments) {
    FILE* pipe = popen((std::string(TESSALY_CLI) + " " + arguments + " 2>/dev/null").c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Another host: a session of its own name that registers `key` on one LUN and reserves it.
struct OtherHost {
    OtherHost(const std::string& name, const std::string& lun, const char* key)
        : connector(targets::IscsiOptions{name, std::nullopt, 10}) {
        const auto address = targets::ParseIscsiAddress(Url(lun));
        target = std::move(connector.Open(address.address).front());
        scsi::PrFields fields;
        std::copy(key, key + 8, fields.serviceActionKey.begin());
        Send(scsi::PrAction::Register, fields);
        fields.reservationKey = fields.serviceActionKey;
        fields.serviceActionKey = {};
        fields.scopeAndType = scsi::kTypeExclusiveAccessRegistrantsOnly;
        Send(scsi::PrAction::Reserve, fields);
    }
    void Send(scsi::PrAction action, const scsi::PrFields& fields) {
        for (int attempt = 0; attempt < 4; ++attempt) {  // past the unit attention of a login
            const scsi::Outcome outcome = target->Execute(scsi::MakeRequest(action, fields, 5));
            ASSERT_TRUE(outcome.Ran()) << outcome.failureText;
            if (outcome.status == scsi::kStatusGood) {
                return;
            }
        }
        FAIL() << scsi::ActionRow(action).name << " by the other host";
    }
    targets::IscsiConnector connector;
    std::unique_ptr<scsi::Target> target;
};

// What each line of a report starting with `prefix` says: the finding codes, or the FAILed steps.
std::vector<std::string> Marked(const std::string& out, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0) {
            const std::size_t from = prefix.size();
            found.push_back(line.substr(from, line.find_first_of(": ", from) - from));
        }
    }
    return found;
}

TEST(CliOnTgt, DoctorAndValidateReportWhatTgtDoes) {
    if (std::getenv("TESSALY_TGT_PORTAL") == nullptr) {
        GTEST_SKIP() << "needs a private tgt: scripts/tgt-target.sh run DIR -- " << __FILE__;
    }
    OtherHost b("iqn.2026-12.org.example:node-b", "1", "NODE-B01");
    OtherHost a("iqn.2026-12.org.example:node-a", "2", "NODE-A01");
    const std::string with = " --with iqn.2026-12.org.tessaly:second --yes";
    const struct {
        std::string arguments;
        int status;
        std::string prefix;  // of the lines that name what was found
        std::vector<std::string> found;
    } cases[] = {
        // The other hosts hold LUNs 1 and 2 under two keys; tgt has no READ FULL STATUS.
        {"doctor " + Url("1-3"), 3, "  warning ", {"holder-foreign", "holder-foreign"}},
        {"doctor " + Url("1-3"), 3, "  error ", {"split-holders"}},
        {"doctor " + Url("3"), 0, "  note ", {"unsupported"}},
        // tgt's known departures from SPC-3, and nothing else.
        {"validate " + Url("3") + with,
         3,
         "  FAIL ",
         {"full-status", "release-attention", "preempt-attention", "preempt-abort"}},
        {"validate " + Url("1") + with, 4, "  FAIL ", {}},
        {"keys " + Url("3"), 0, "  no registered keys", {""}},
    };
    for (const auto& c : cases) {
        const Ran ran = Cli(c.arguments);
        EXPECT_EQ(ran.status, c.status) << c.arguments << "\n" << ran.out;
        EXPECT_EQ(Marked(ran.out, c.prefix), c.found) << c.arguments << "\n" << ran.out;
    }
}

}  // namespace
}  // namespace tessaly::cli
