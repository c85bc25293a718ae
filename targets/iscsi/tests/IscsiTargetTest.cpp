// IscsiTarget against the private tgt target that scripts/tgt-target.sh starts (LUNs 1 to 24):
//   scripts/tgt-target.sh run DIR --luns 24 -- iscsi_target_tests
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
#include <future>
#include <mutex>
#include <set>
#include <thread>

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

pid_t TgtdPid(const std::string& dir) {
    std::ifstream file(dir + "/tgtd.pid");
    pid_t pid = 0;
    file >> pid;
    return pid;
}

// READ KEYS with a timeout of its own, sent from a thread of its own.
std::future<scsi::Outcome> SendAside(scsi::Target& target, std::uint32_t seconds) {
    return std::async(std::launch::async, [&target, seconds] {
        scsi::Request request = kReadKeys;
        request.timeoutSeconds = seconds;
        return target.Execute(request);
    });
}

// Polls until `done` holds (a state the code under test reaches by itself), at most 10 s.
template <class Done>
bool Eventually(const Done& done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        usleep(10000);
    }
    return done();
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
    const auto there = Open(connector, "3,99,4");
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

    const pid_t tgtd = TgtdPid(TheTgt()->dir);
    ASSERT_EQ(kill(tgtd, SIGSTOP), 0);
    scsi::Request quick = kReadKeys;
    quick.timeoutSeconds = 1;
    const scsi::Outcome unanswered = t[0]->Execute(quick);
    kill(tgtd, SIGCONT);
    EXPECT_EQ(unanswered.failure, FailureKind::Interrupted);
    EXPECT_EQ(unanswered.failureNumber, ETIMEDOUT);
    EXPECT_EQ(t[0]->Execute(kReadKeys).status, 2)
        << "a unit attention: the session logged in again";
}

// Sixteen threads, each on a LUN of its own, share one session: REGISTER, READ KEYS, RESERVE,
// READ RESERVATION, and a CLEAR that leaves the LUN clean. Their first commands are sent while
// tgtd is stopped, so all sixteen are in flight together before any is answered.
TEST(IscsiTarget, ThreadsShareOneSessionWithTheirCommandsInFlightTogether) {
    NEED_TGT();
    constexpr std::size_t kThreads = 16;
    IscsiConnector connector(Named("threads"));
    const auto targets = Open(connector, "5-20");
    ASSERT_TRUE(Send(*targets[0], kReadKeys).Ran());  // logged in
    const pid_t tgtd = TgtdPid(TheTgt()->dir);
    ASSERT_EQ(kill(tgtd, SIGSTOP), 0);
    std::vector<std::string> faults(kThreads);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&target = *targets[i], &fault = faults[i], key = 0x7E5700 + i] {
            const auto check = [&fault](bool ok, const char* step) {
                if (!ok && fault.empty()) {
                    fault = step;
                }
            };
            check(Send(target, Register(key)).status == 0, "REGISTER");
            check(Keys(Send(target, kReadKeys)) == std::vector<Key>{key}, "READ KEYS");
            check(Send(target, Reserve(key)).status == 0, "RESERVE");
            const std::vector<Key> holder = Keys(Send(target, kReadReservation));
            check(!holder.empty() && holder[0] == key, "READ RESERVATION");
            check(Send(target, Out(3, key)).status == 0, "CLEAR");
            check(Keys(Send(target, kReadKeys)).empty(), "READ KEYS after the CLEAR");
        });
    }
    const bool together = Eventually([&] { return connector.InFlight() == kThreads; });
    kill(tgtd, SIGCONT);
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(together) << "in flight at most: " << connector.InFlight();
    EXPECT_EQ(faults, std::vector<std::string>(kThreads));
}

// A portal that stops answering (a second tgtd, stopped with SIGSTOP) holds up no other session: a
// command to it ends Interrupted at its deadline, and meanwhile commands to the first tgtd go on.
// A tgtd of the test's own beside the private one (ports from the private one's + 2), stopped
// through the same script whatever happens.
struct SecondTgt {
    const std::string script = TESSALY_TGT_SCRIPT;
    const std::string dir = TheTgt()->dir + "/second";
    char portal[64] = {}, iqn[256] = {};
    SecondTgt() {
        const std::string port = std::to_string(std::stoi(TheTgt()->port) + 2);
        FILE* start = popen((script + " start " + dir + " --luns 1 --port " + port).c_str(), "r");
        if (std::fscanf(start, "%63s %255s", portal, iqn) != 2) {
            portal[0] = '\0';
        }
        pclose(start);
    }
    ~SecondTgt() { std::system((script + " stop " + dir).c_str()); }
};

TEST(IscsiTarget, AStoppedPortalHoldsUpOnlyItsOwnSession) {
    NEED_TGT();
    const SecondTgt second;
    ASSERT_NE(second.portal[0], '\0');
    IscsiConnector stoppedHost(Named("stopped")), otherHost(Named("other"));
    const auto stopped = Open(stoppedHost, "1", second.portal, second.iqn);
    const auto other = Open(otherHost, "21");
    ASSERT_TRUE(Send(*stopped[0], kReadKeys).Ran());

    const pid_t tgtd = TgtdPid(second.dir);
    ASSERT_EQ(kill(tgtd, SIGSTOP), 0);
    auto late = SendAside(*stopped[0], 3);
    EXPECT_TRUE(Eventually([&] { return stoppedHost.InFlight() == 1; }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(Send(*other[0], kReadKeys).Ran());
    }
    EXPECT_NE(late.wait_for(std::chrono::seconds(0)), std::future_status::ready)
        << "the other session waited for the stopped one";
    const scsi::Outcome unanswered = late.get();
    EXPECT_EQ(unanswered.failure, FailureKind::Interrupted);
    EXPECT_EQ(unanswered.failureNumber, ETIMEDOUT);
}

// Forwards one connection to the private tgt and drops the target's answers to the commands for one
// LUN: a logical unit that stops answering while the others answer. PDUs are read whole (no
// digests: libiscsi and tgt agree on none).
class HoldingProxy {
  public:
    explicit HoldingProxy(std::uint8_t lun) : lun_(lun) {
        pump_ = std::thread([this] {
            client_ = accept(listener_.fd, nullptr, nullptr);
            const std::string& portal = TheTgt()->portal;
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port =
                htons(static_cast<std::uint16_t>(std::stoi(portal.substr(portal.find(':') + 1))));
            connect(target_, reinterpret_cast<sockaddr*>(&address), sizeof address);
            std::thread back([this] { Forward(target_, client_, false); });
            Forward(client_, target_, true);
            back.join();
        });
    }
    ~HoldingProxy() {
        shutdown(listener_.fd, SHUT_RDWR);
        shutdown(client_, SHUT_RDWR);
        shutdown(target_, SHUT_RDWR);
        pump_.join();
        close(client_);
        close(target_);
    }
    const std::string& Portal() const { return listener_.portal; }
    // Every held command, and no other, was named by an ABORT TASK.
    bool AbortedWhatItHeld() {
        const std::lock_guard lock(mutex_);
        return !held_.empty() && aborted_ == held_;
    }

  private:
    static std::uint32_t Tag(const std::vector<std::uint8_t>& pdu, std::size_t at) {
        return std::uint32_t{pdu[at]} << 24 | pdu[at + 1] << 16 | pdu[at + 2] << 8 | pdu[at + 3];
    }

    void Forward(int from, int to, bool outbound) {
        std::vector<std::uint8_t> pdu(48);
        while (recv(from, pdu.data(), 48, MSG_WAITALL) == 48) {
            const std::size_t data = pdu[5] << 16 | pdu[6] << 8 | pdu[7];
            pdu.resize(48 + 4 * pdu[4] + (data + 3) / 4 * 4);
            if (pdu.size() > 48 && recv(from, pdu.data() + 48, pdu.size() - 48, MSG_WAITALL) !=
                                       static_cast<ssize_t>(pdu.size() - 48)) {
                break;
            }
            const unsigned opcode = pdu[0] & 0x3F;
            std::unique_lock lock(mutex_);
            if (outbound && opcode == 0x01 && pdu[9] == lun_) {  // SCSI Command
                held_.insert(Tag(pdu, 16));
            } else if (outbound && opcode == 0x02 && (pdu[1] & 0x7F) == 1) {  // ABORT TASK
                aborted_.insert(Tag(pdu, 20));
            } else if (!outbound && (opcode == 0x21 || opcode == 0x25) &&
                       held_.count(Tag(pdu, 16)) != 0) {  // SCSI Response, Data-In
                continue;
            }
            lock.unlock();
            send(to, pdu.data(), pdu.size(), MSG_NOSIGNAL);
            pdu.resize(48);
        }
        shutdown(to, SHUT_WR);
    }

    const std::uint8_t lun_;
    SilentPortal listener_{true};
    int client_ = -1;
    int target_ = socket(AF_INET, SOCK_STREAM, 0);
    std::thread pump_;
    std::mutex mutex_;
    std::set<std::uint32_t> held_, aborted_;  // initiator tags
};

// A command late while the target answers others is given up alone, and the target asked to abort
// it: the session goes on (its next command meets no unit attention: no new login).
TEST(IscsiTarget, ALateCommandIsGivenUpAloneWhileTheTargetAnswersOthers) {
    NEED_TGT();
    HoldingProxy proxy(22);
    IscsiConnector connector(Named("held"));
    const auto targets = Open(connector, "22,23", proxy.Portal());
    ASSERT_TRUE(Send(*targets[1], kReadKeys).Ran());
    auto late = SendAside(*targets[0], 2);
    EXPECT_TRUE(Eventually([&] { return connector.InFlight() == 1; }));
    EXPECT_TRUE(targets[1]->Execute(kReadKeys).Ran());  // answered after the late one was sent
    const scsi::Outcome unanswered = late.get();
    EXPECT_EQ(unanswered.failure, FailureKind::Interrupted);
    EXPECT_EQ(unanswered.failureNumber, ETIMEDOUT);
    const scsi::Outcome next = targets[1]->Execute(kReadKeys);
    EXPECT_TRUE(next.Ran() && next.status == 0) << next.failureText;
    EXPECT_TRUE(proxy.AbortedWhatItHeld());
}

}  // namespace
}  // namespace tessaly::targets
