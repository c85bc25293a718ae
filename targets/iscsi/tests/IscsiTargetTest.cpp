// IscsiTarget against the private tgt target that scripts/tgt-target.sh starts (LUNs 1 to 4):
//   scripts/tgt-target.sh run DIR --luns 4 -- iscsi_target_tests
// Each test uses LUNs of its own; tgt reports a unit attention on each LUN's first command after
// a login, which Send() sends again as tessaly-cli does.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "targets/iscsi/IscsiTarget.h"

namespace tessaly::targets {
namespace {

using scsi::FailureKind;
using Key = std::uint64_t;

constexpr std::uint8_t kConflict = 0x18;

struct Tgt {
    std::string portal;  // 127.0.0.1:PORT
    std::string iqn;
    std::string dir;
    std::string port;
};

const Tgt* TheTgt() {
    static const Tgt* tgt = [] {
        const char* portal = std::getenv("TESSALY_TGT_PORTAL");
        const char* iqn = std::getenv("TESSALY_TGT_IQN");
        const char* dir = std::getenv("TESSALY_TGT_DIR");
        return portal && iqn && dir ? new Tgt{portal, iqn, dir, std::strchr(portal, ':') + 1}
                                    : nullptr;
    }();
    return tgt;
}

#define NEED_TGT()                                                                            \
    if (TheTgt() == nullptr) {                                                                \
        GTEST_SKIP() << "needs a private tgt: scripts/tgt-target.sh run DIR -- " << __FILE__; \
    }

int Tgtadm(const std::string& arguments) {
    return std::system(
        ("tgtadm -C " + TheTgt()->port + " --lld iscsi " + arguments + " >/dev/null 2>&1").c_str());
}

IscsiOptions Named(const std::string& suffix, std::uint32_t timeout = kIscsiDefaultTimeout) {
    return {"iqn.2026-12.org.tessaly:test-" + suffix, std::nullopt, timeout};
}

std::vector<std::unique_ptr<IscsiTarget>> Open(IscsiConnector& connector, const std::string& luns,
                                               std::string portal = "", std::string iqn = "") {
    const ParsedAddress parsed =
        ParseIscsiAddress("iscsi://" + (portal.empty() ? TheTgt()->portal : portal) + "/" +
                          (iqn.empty() ? TheTgt()->iqn : iqn) + "/" + luns);
    EXPECT_TRUE(parsed.ok) << parsed.error.message;
    return connector.Open(parsed.address);
}

scsi::Request In(std::uint8_t action, std::uint32_t length = 512) {
    scsi::Request request;
    request.cdb = {0x5E,
                   action,
                   0,
                   0,
                   0,
                   0,
                   0,
                   static_cast<std::uint8_t>(length >> 8),
                   static_cast<std::uint8_t>(length),
                   0};
    request.direction = scsi::Direction::In;
    request.dataInLength = length;
    return request;
}
const scsi::Request kReadKeys = In(0);
const scsi::Request kReadReservation = In(1);

scsi::Request Out(std::uint8_t action, Key key, Key actionKey = 0, std::uint8_t type = 0) {
    scsi::Request request;
    request.cdb = {0x5F, action, type, 0, 0, 0, 0, 0, 24, 0};
    request.direction = scsi::Direction::Out;
    request.dataOut.resize(24);
    for (int i = 0; i < 8; ++i) {
        request.dataOut[i] = static_cast<std::uint8_t>(key >> (56 - 8 * i));
        request.dataOut[8 + i] = static_cast<std::uint8_t>(actionKey >> (56 - 8 * i));
    }
    return request;
}
scsi::Request Register(Key key) {
    return Out(0, 0, key);
}
scsi::Request RegisterIgnoringExisting(Key key) {
    return Out(6, 0, key);
}
scsi::Request Reserve(Key key) {
    return Out(1, key, 0, 1);
}  // Write Exclusive

// Executes the request, sending it again when a unit attention meets it.
scsi::Outcome Send(scsi::Target& target, scsi::Request request) {
    request.timeoutSeconds = 5;
    scsi::Outcome outcome;
    for (int attempt = 0; attempt < 4; ++attempt) {
        outcome = target.Execute(request);
        if (!outcome.Ran() || outcome.status != 2 || outcome.sense.size() < 3 ||
            (outcome.sense[2] & 0x0F) != 6) {
            break;
        }
    }
    return outcome;
}

std::vector<Key> Keys(const scsi::Outcome& outcome) {
    std::vector<Key> keys;
    for (std::size_t at = 8; at + 8 <= outcome.dataIn.size(); at += 8) {
        Key key = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            key = key << 8 | outcome.dataIn[at + i];
        }
        keys.push_back(key);
    }
    return keys;
}

bool HasNote(const scsi::Outcome& outcome) {
    return std::any_of(outcome.facts.begin(), outcome.facts.end(),
                       [](const scsi::Fact& f) { return f.name == "note"; });
}

TEST(IscsiTarget, TwoNexusesRegisterReserveAndMeetAConflict) {
    NEED_TGT();
    IscsiConnector a(Named("a")), b(Named("b"));
    const auto ta = Open(a, "1"), tb = Open(b, "1");
    EXPECT_NE(ta[0]->InitiatorName(), tb[0]->InitiatorName());

    EXPECT_EQ(Keys(Send(*ta[0], kReadKeys)), std::vector<Key>{});
    EXPECT_EQ(Send(*ta[0], Register(0xA1)).status, 0);
    EXPECT_EQ(Send(*tb[0], Register(0xB2)).status, 0);
    const scsi::Outcome keys = Send(*tb[0], kReadKeys);
    EXPECT_EQ(Keys(keys), (std::vector<Key>{0xA1, 0xB2}));
    EXPECT_EQ(keys.residual, 512u - 24u);

    EXPECT_EQ(Send(*ta[0], Reserve(0xA1)).status, 0);
    const scsi::Outcome reservation = Send(*tb[0], kReadReservation);
    ASSERT_EQ(reservation.dataIn.size(), 24u);
    EXPECT_EQ(Keys(reservation)[0], 0xA1u);
    EXPECT_EQ(reservation.dataIn[21] & 0x0F, 1) << "Write Exclusive";

    const scsi::Outcome conflict = Send(*tb[0], Reserve(0xB2));
    EXPECT_EQ(conflict.status, kConflict);
    EXPECT_FALSE(HasNote(conflict)) << "b registered in this session";

    EXPECT_GE(ta[0]->MaxDataIn(), 65535u);
    EXPECT_EQ(Send(*ta[0], In(0, 65535)).residual, 65535u - 24u);
}

TEST(IscsiTarget, LunsAbove255TravelFlat) {
    NEED_TGT();
    const std::string store = TheTgt()->dir + "/lun300.img";
    ASSERT_EQ(std::system(("truncate -s 1M " + store).c_str()), 0);
    ASSERT_EQ(Tgtadm("--op new --mode logicalunit --tid 1 --lun 300 -b " + store), 0);
    IscsiConnector connector(Named("flat"));
    const auto t = Open(connector, "300");
    EXPECT_EQ(Send(*t[0], Register(0xF1)).status, 0);
    EXPECT_EQ(Keys(Send(*t[0], kReadKeys)), std::vector<Key>{0xF1});
}

// tgt ties a registration to the session that made it: the same initiator name and ISID after a
// logout and a new login are a new I_T nexus to it.
TEST(IscsiTarget, TgtKeepsNoRegistrationAcrossSessionsWithTheSameIsid) {
    NEED_TGT();
    {
        IscsiConnector first(Named("isid"));
        EXPECT_EQ(Send(*Open(first, "2")[0], Register(0xC3)).status, 0);
    }  // logged out
    IscsiConnector again(Named("isid"));
    const auto t = Open(again, "2");
    EXPECT_EQ(Keys(Send(*t[0], kReadKeys)), std::vector<Key>{0xC3});
    const scsi::Outcome refused = Send(*t[0], Reserve(0xC3));
    EXPECT_EQ(refused.status, kConflict);
    EXPECT_TRUE(HasNote(refused));

    EXPECT_EQ(Send(*t[0], RegisterIgnoringExisting(0xC3)).status, 0);
    EXPECT_EQ(Keys(Send(*t[0], kReadKeys)), (std::vector<Key>{0xC3, 0xC3}));
    EXPECT_EQ(Send(*t[0], Reserve(0xC3)).status, 0);
}

// A socket that listens and never answers: connections complete, logins get no answer.
struct SilentPortal {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    std::string portal;
    explicit SilentPortal(bool listening) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        portal = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        if (listening) {
            listen(fd, 4);
        }
    }
    ~SilentPortal() { close(fd); }

    // The ISID of the next login request that came in.
    Isid NextLoginIsid() const {
        std::uint8_t header[48] = {};
        const int connection = accept(fd, nullptr, nullptr);
        EXPECT_EQ(read(connection, header, sizeof header), 48);
        close(connection);
        EXPECT_EQ(header[0] & 0x3F, 0x03) << "a login request";
        Isid isid;
        std::copy(header + 8, header + 14, isid.begin());
        return isid;
    }
};

TEST(IscsiTarget, WhatIsNotThereEndsNoDevice) {
    NEED_TGT();
    IscsiConnector connector(Named("absent", 1));
    const auto there = Open(connector, "3,9,4");
    EXPECT_TRUE(Send(*there[0], kReadKeys).Ran());
    EXPECT_EQ(Send(*there[1], kReadKeys).failure, FailureKind::NoDevice) << "not in REPORT LUNS";
    ASSERT_EQ(Tgtadm("--op delete --mode logicalunit --tid 1 --lun 4"), 0);
    EXPECT_EQ(Send(*there[2], kReadKeys).failure, FailureKind::NoDevice) << "gone since the login";

    const auto noTarget = Open(connector, "1,2", "", TheTgt()->iqn + "-absent");
    const SilentPortal closed(false), silent(true);
    const auto refused = Open(connector, "1", closed.portal);
    const auto unanswered = Open(connector, "1", silent.portal);
    for (const auto* target : {&noTarget[0], &noTarget[1], &refused[0], &unanswered[0]}) {
        const scsi::Outcome outcome = Send(**target, kReadKeys);
        EXPECT_EQ(outcome.failure, FailureKind::NoDevice) << (*target)->Where();
        EXPECT_FALSE(outcome.failureText.empty());
    }
    EXPECT_EQ(silent.NextLoginIsid(), IsidFromName(connector.InitiatorName()));
    for (const char* typed : {"00023d000005", "400000010002", "80abcdef0003"}) {
        const Isid isid = ParseIsid(typed).isid;
        IscsiConnector given({connector.InitiatorName(), isid, 1});
        EXPECT_EQ(Send(*Open(given, "1", silent.portal)[0], kReadKeys).failure,
                  FailureKind::NoDevice);
        EXPECT_EQ(silent.NextLoginIsid(), isid) << typed;
    }

    // CHAP: a wrong password is refused; the right one from libiscsi's variable logs in.
    ASSERT_EQ(Tgtadm("--op new --mode account --user tessaly --password secret-12345"), 0);
    ASSERT_EQ(Tgtadm("--op bind --mode account --tid 1 --user tessaly"), 0);
    IscsiConnector wrong(Named("chap-wrong")), right(Named("chap-right"));
    const ParsedAddress withWrong = ParseIscsiAddress(
        "iscsi://tessaly%wrong-12345@" + TheTgt()->portal + "/" + TheTgt()->iqn + "/1");
    EXPECT_EQ(Send(*wrong.Open(withWrong.address)[0], kReadKeys).failure, FailureKind::NoDevice);
    setenv("LIBISCSI_CHAP_USERNAME", "tessaly", 1);
    setenv("LIBISCSI_CHAP_PASSWORD", "secret-12345", 1);
    EXPECT_TRUE(Send(*Open(right, "1")[0], kReadKeys).Ran());
    unsetenv("LIBISCSI_CHAP_USERNAME");
    unsetenv("LIBISCSI_CHAP_PASSWORD");
    Tgtadm("--op unbind --mode account --tid 1 --user tessaly");
    Tgtadm("--op delete --mode account --user tessaly");
}

// The I_T nexus of an initiator name, as tgtadm shows the target's sessions.
std::string NexusOf(const std::string& initiator) {
    FILE* show = popen(
        ("tgtadm -C " + TheTgt()->port + " --lld iscsi --op show --mode target").c_str(), "r");
    std::string nexus, line;
    char buffer[512];
    while (show != nullptr && std::fgets(buffer, sizeof buffer, show) != nullptr) {
        line = buffer;
        if (const auto at = line.find("I_T nexus: "); at != std::string::npos) {
            nexus = std::to_string(std::atoi(line.c_str() + at + 11));
        } else if (line.find("Initiator: " + initiator + " ") != std::string::npos) {
            break;
        }
    }
    if (show != nullptr) {
        pclose(show);
    }
    return nexus;
}

TEST(IscsiTarget, LostAnswersEndInterruptedAndTheNextCommandLogsInAgain) {
    NEED_TGT();
    IscsiConnector connector(Named("lost", 2));
    const auto t = Open(connector, "3");
    ASSERT_TRUE(Send(*t[0], kReadKeys).Ran());

    const std::string nexus = NexusOf(connector.InitiatorName());
    ASSERT_EQ(Tgtadm("--op delete --mode conn --tid 1 --sid " + nexus + " --cid 0"), 0);
    const scsi::Outcome lost = t[0]->Execute(kReadKeys);
    EXPECT_EQ(lost.failure, FailureKind::Interrupted);
    EXPECT_NE(lost.failureNumber, ETIMEDOUT) << "told as a lost connection, at once";
    EXPECT_TRUE(Send(*t[0], kReadKeys).Ran());

    std::ifstream pidFile(TheTgt()->dir + "/tgtd.pid");
    pid_t tgtd = 0;
    ASSERT_TRUE(pidFile >> tgtd);
    ASSERT_EQ(kill(tgtd, SIGSTOP), 0);
    scsi::Request quick = kReadKeys;
    quick.timeoutSeconds = 1;
    const scsi::Outcome unanswered = t[0]->Execute(quick);
    kill(tgtd, SIGCONT);
    EXPECT_EQ(unanswered.failure, FailureKind::Interrupted);
    EXPECT_EQ(unanswered.failureNumber, ETIMEDOUT);
    EXPECT_TRUE(Send(*t[0], kReadKeys).Ran());
}

}  // namespace
}  // namespace tessaly::targets
