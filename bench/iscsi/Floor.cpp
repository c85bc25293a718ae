// The floor of tessaly-cli's scan and fence over iSCSI: bare libiscsi, one process, one session,
// and N LUNs in progress at once, each with one command in flight and its commands in order, as
// `tessaly-cli --parallel N` runs its devices (libiscsi's asynchronous interface: one loop serves
// them all). On each LUN what the program sends on tgt and nothing else: no decoding, no output
// per LUN; a command met by a unit attention (tgt reports one on each LUN's first command after a
// login) is sent again.
//
//   tessaly_iscsi_floor scan|fence PORTAL IQN FIRST LAST [IN-FLIGHT [ALLOCATION]]
//     (IN-FLIGHT 16, ALLOCATION 65535 unless given: the program asks for whole replies)
//     scan:  READ FULL STATUS (tgt refuses it: ILLEGAL REQUEST), READ KEYS, READ RESERVATION
//     fence: the scan's three, REGISTER TESSALY1, PREEMPT AND ABORT of NODE-C03 (tgt refuses it),
//            PREEMPT of NODE-C03 under TESSALY1 with the reservation's type, READ KEYS
//     prints "COMMANDS UNEXPECTED SECONDS MOST-IN-FLIGHT": the commands sent (retries aside),
//     those that did not end as tgt answers them, the time from before the login to the last
//     answer, and the most commands that were in flight at once
//   tessaly_iscsi_floor setup PORTAL IQN FIRST LAST
//     clears each LUN (REGISTER AND IGNORE EXISTING KEY and CLEAR: every registration of every
//     session goes), then registers NODE-C03 from a session of its own and reserves it (Write
//     Exclusive - Registrants Only): what a fence finds, and a key and a holder for a scan
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kAttentionRetries = 5;
constexpr unsigned char kType = 0x05;  // Write Exclusive - Registrants Only

// One command of a LUN's plan and what tgt answers it.
struct Step {
    std::vector<unsigned char> cdb;
    std::vector<unsigned char> out;  // the parameter list of a PERSISTENT RESERVE OUT
    int inLength = 0;
    bool refused = false;  // tgt answers ILLEGAL REQUEST
};

Step In(unsigned char action, int allocation, bool refused = false) {
    return {{0x5E, action, 0, 0, 0, 0, 0, static_cast<unsigned char>(allocation >> 8),
             static_cast<unsigned char>(allocation), 0},
            {},
            allocation,
            refused};
}

Step Out(unsigned char action, const char* key, const char* actionKey, unsigned char type = 0,
         bool refused = false) {
    Step step{
        {0x5F, action, type, 0, 0, 0, 0, 0, 24, 0}, std::vector<unsigned char>(24), 0, refused};
    std::memcpy(step.out.data(), key, key[0] != '\0' ? 8 : 0);
    std::memcpy(step.out.data() + 8, actionKey, actionKey[0] != '\0' ? 8 : 0);
    return step;
}

std::vector<Step> Scan(int allocation) {
    return {In(0x03, allocation, true), In(0x00, allocation), In(0x01, allocation)};
}

std::vector<Step> Fence(int allocation) {
    std::vector<Step> steps = Scan(allocation);
    steps.push_back(Out(0x00, "", "TESSALY1"));
    steps.push_back(Out(0x05, "TESSALY1", "NODE-C03", kType, true));
    steps.push_back(Out(0x04, "TESSALY1", "NODE-C03", kType));
    steps.push_back(In(0x00, allocation));
    return steps;
}

struct Session {
    iscsi_context* context = nullptr;
    Session(const char* name, const char* portal, const char* iqn) {
        context = iscsi_create_context(name);
        if (context == nullptr || iscsi_set_targetname(context, iqn) != 0 ||
            iscsi_set_session_type(context, ISCSI_SESSION_NORMAL) != 0 ||
            iscsi_set_timeout(context, 10) != 0 || iscsi_connect_sync(context, portal) != 0 ||
            iscsi_login_sync(context) != 0) {
            std::fprintf(stderr, "login to %s at %s: %s\n", iqn, portal,
                         context != nullptr ? iscsi_get_error(context) : "no context");
            if (context != nullptr) {
                iscsi_destroy_context(context);
                context = nullptr;
            }
        }
    }
    ~Session() {
        if (context != nullptr) {
            iscsi_logout_sync(context);
            iscsi_destroy_context(context);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// Runs the plan on LUNs first to last, `inFlight` LUNs at a time, each LUN's steps in order.
class Run {
  public:
    Run(iscsi_context* context, const std::vector<Step>& steps, int first, int last, int inFlight)
        : context_(context),
          steps_(steps),
          next_(first),
          last_(last),
          lanes_(static_cast<std::size_t>(std::max(1, inFlight))) {}

    // False when the transport failed.
    bool Go() {
        for (Lane& lane : lanes_) {
            lane.run = this;
            Next(lane);
        }
        while (active_ > 0 && !failed_) {
            pollfd fd{iscsi_get_fd(context_), static_cast<short>(iscsi_which_events(context_)), 0};
            if (poll(&fd, 1, 1000) < 0 || iscsi_service(context_, fd.revents) < 0) {
                std::fprintf(stderr, "%s\n", iscsi_get_error(context_));
                return false;
            }
        }
        return !failed_;
    }

    int commands = 0;
    int unexpected = 0;
    int mostInFlight = 0;

  private:
    struct Lane {
        Run* run = nullptr;
        int lun = 0;
        std::size_t step = 0;
        int attempt = 0;
        scsi_task* task = nullptr;
        iscsi_data data{};
    };

    void Next(Lane& lane) {
        if (next_ > last_) {
            return;
        }
        lane.lun = next_++;
        lane.step = 0;
        ++active_;
        Send(lane);
    }

    void Send(Lane& lane) {
        Step& step = steps_[lane.step];
        const bool out = !step.out.empty();
        lane.task = scsi_create_task(static_cast<int>(step.cdb.size()), step.cdb.data(),
                                     out ? SCSI_XFER_WRITE : SCSI_XFER_READ,
                                     out ? static_cast<int>(step.out.size()) : step.inLength);
        lane.data = {step.out.size(), step.out.data()};
        // Peripheral addressing up to LUN 255, flat above.
        const int field = lane.lun < 256 ? lane.lun : 0x4000 | lane.lun;
        if (lane.task == nullptr ||
            iscsi_scsi_command_async(context_, field, lane.task, Done, out ? &lane.data : nullptr,
                                     &lane) != 0) {
            std::fprintf(stderr, "LUN %d: not sent: %s\n", lane.lun, iscsi_get_error(context_));
            failed_ = true;
            return;
        }
        mostInFlight = std::max(mostInFlight, ++inFlight_);
    }

    static void Done(iscsi_context*, int status, void*, void* data) {
        Lane& lane = *static_cast<Lane*>(data);
        Run& run = *lane.run;
        --run.inFlight_;
        const int key = status == SCSI_STATUS_CHECK_CONDITION ? lane.task->sense.key : 0;
        scsi_free_scsi_task(lane.task);
        lane.task = nullptr;
        if (status < 0 || status > 0xFF) {
            std::fprintf(stderr, "LUN %d: the connection failed\n", lane.lun);
            run.failed_ = true;
            return;
        }
        if (key == SCSI_SENSE_UNIT_ATTENTION && lane.attempt++ < kAttentionRetries) {
            return run.Send(lane);
        }
        const Step& step = run.steps_[lane.step];
        run.unexpected +=
            (step.refused ? key == SCSI_SENSE_ILLEGAL_REQUEST : status == SCSI_STATUS_GOOD) ? 0 : 1;
        ++run.commands;
        lane.attempt = 0;
        if (++lane.step < run.steps_.size()) {
            return run.Send(lane);
        }
        --run.active_;
        run.Next(lane);
    }

    iscsi_context* context_;
    std::vector<Step> steps_;
    int next_;
    int last_;
    std::vector<Lane> lanes_;
    int active_ = 0;
    int inFlight_ = 0;
    bool failed_ = false;
};

int Setup(const char* portal, const char* iqn, int first, int last) {
    const std::vector<std::pair<const char*, std::vector<Step>>> plans = {
        {"iqn.2026-12.org.tessaly:setup", {Out(0x06, "", "TGT-SETU"), Out(0x03, "TGT-SETU", "")}},
        {"iqn.2026-12.org.tessaly:node-c",
         {Out(0x00, "", "NODE-C03"), Out(0x01, "NODE-C03", "", kType)}},
    };
    for (const auto& [name, steps] : plans) {
        const Session session(name, portal, iqn);
        if (session.context == nullptr) {
            return 1;
        }
        Run run(session.context, steps, first, last, 16);
        if (!run.Go() || run.unexpected != 0) {
            std::fprintf(stderr, "set-up by %s: %d commands refused\n", name, run.unexpected);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "setup" && argc == 6) {
        return Setup(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    }
    if ((verb != "scan" && verb != "fence") || argc < 6 || argc > 8) {
        std::fprintf(stderr,
                     "usage: %s scan|fence PORTAL IQN FIRST LAST [IN-FLIGHT [ALLOCATION]]\n"
                     "       %s setup PORTAL IQN FIRST LAST\n",
                     argv[0], argv[0]);
        return 2;
    }
    const int inFlight = argc > 6 ? std::atoi(argv[6]) : 16;
    const int allocation = argc > 7 ? std::atoi(argv[7]) : 65535;

    const auto start = std::chrono::steady_clock::now();
    const Session session("iqn.2026-12.org.tessaly:floor", argv[2], argv[3]);
    if (session.context == nullptr) {
        return 1;
    }
    Run run(session.context, verb == "scan" ? Scan(allocation) : Fence(allocation),
            std::atoi(argv[4]), std::atoi(argv[5]), inFlight);
    if (!run.Go()) {
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d %d %.6f %d\n", run.commands, run.unexpected, seconds, run.mostInFlight);
    return 0;
}
