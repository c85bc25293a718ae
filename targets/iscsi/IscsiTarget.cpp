#include "targets/iscsi/IscsiTarget.h"

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tessaly::targets {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLunNotSupported = 0x2500;  // ASC 25h, ASCQ 00h: LOGICAL UNIT NOT SUPPORTED
constexpr std::uint8_t kReportLuns = 0xA0;
constexpr std::uint8_t kPersistentReserveOut = 0x5F;
// PERSISTENT RESERVE OUT service actions
constexpr std::uint8_t kRegister = 0x00;
constexpr std::uint8_t kReserve = 0x01;
constexpr std::uint8_t kRegisterAndIgnore = 0x06;
constexpr std::uint8_t kRegisterAndMove = 0x07;
constexpr std::uint32_t kReportLunsLength = 8 + 8 * (kHighestLun + 1u);
constexpr int kAttentionRetries = 3;  // of REPORT LUNS met by a unit attention
constexpr auto kLogoutWait = std::chrono::seconds(2);

// While it lives, a SIGPIPE raised on this thread (libiscsi writes a PDU's data with writev, which
// raises it on a connection the target closed) is held back, and it is dropped at the end: the
// broken connection is reported as the command's failure instead of ending the program.
class QuietPipe {
  public:
    QuietPipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~QuietPipe() {
        if (!sigismember(&old_, SIGPIPE)) {
            const timespec none{};
            while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    QuietPipe(const QuietPipe&) = delete;
    QuietPipe& operator=(const QuietPipe&) = delete;

  private:
    sigset_t pipe_;
    sigset_t old_;
};

struct TaskFree {
    void operator()(scsi_task* task) const { scsi_free_scsi_task(task); }
};
using TaskPtr = std::unique_ptr<scsi_task, TaskFree>;

// libiscsi's text of its last error, without the line end some of its texts have.
std::string ErrorText(iscsi_context* context) {
    std::string text = iscsi_get_error(context);
    text.erase(text.find_last_not_of(" \r\n") + 1);
    return text;
}

// The first error libiscsi logs during a wait of this thread: its last error (iscsi_get_error) may
// be one it met while cleaning up after the first ("Can not reconnect right now"), or one of an
// earlier command.
thread_local std::string* firstError = nullptr;
bool debugLog = false;  // LIBISCSI_DEBUG is set: libiscsi's log goes to stderr as it would

void OnLog(int level, const char* message) {
    if (level <= 1 && firstError != nullptr && firstError->empty()) {
        *firstError = message;
    }
    if (debugLog) {
        iscsi_log_to_stderr(level, message);
    }
}

// What one libiscsi call answers through its callback.
struct Completion {
    bool done = false;
    int status = 0;
};

void OnComplete(iscsi_context*, int status, void*, void* completion) {
    auto* c = static_cast<Completion*>(completion);
    c->done = true;
    c->status = status;
}

bool IsScsiStatus(int status) {
    return status >= 0 && status <= 0xFF;
}

// The LUN as the command's LUN field carries it: peripheral addressing up to 255, flat above.
int LunField(std::uint16_t lun) {
    return lun < 256 ? lun : 0x4000 | lun;
}

std::uint16_t Be16(const unsigned char* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::uint32_t Be32(const unsigned char* at) {
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
           at[3];
}

// "0-4, 7, 9-100"
std::string LunRanges(const std::vector<std::uint16_t>& luns) {
    std::vector<std::uint16_t> sorted = luns;
    std::sort(sorted.begin(), sorted.end());
    std::string text;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) {
            ++j;
        }
        text += (text.empty() ? "" : ", ") + std::to_string(sorted[i]);
        if (j > i) {
            text += "-" + std::to_string(sorted[j]);
        }
        i = j + 1;
    }
    return text.empty() ? "none" : text;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

scsi::Outcome Failure(scsi::FailureKind kind, std::string text, std::int64_t number = 0) {
    scsi::Outcome outcome;
    outcome.failure = kind;
    outcome.failureNumber = number;
    outcome.failureText = std::move(text);
    return outcome;
}

// The portals to try for a host and port, as numeric "address:port" libiscsi connects to without
// a lookup of its own. The lookup of a name runs under the deadline (getaddrinfo_a): one that
// has not ended in time is given up, and a lookup that cannot be cancelled is left to finish.
std::vector<std::string> Portals(const IscsiAddress& address, Clock::time_point deadline,
                                 std::string& failure) {
    struct Lookup {
        std::string host;
        addrinfo hints{};
        gaicb request{};
    };
    auto lookup = std::make_unique<Lookup>();
    lookup->host = address.host;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    int error = getaddrinfo(lookup->host.c_str(), nullptr, &lookup->hints, &found);
    if (error != 0) {
        lookup->hints.ai_flags = 0;
        lookup->request.ar_name = lookup->host.c_str();
        lookup->request.ar_request = &lookup->hints;
        gaicb* list[] = {&lookup->request};
        error = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
        if (error == 0) {
            error = gai_error(&lookup->request);
        }
        for (; error == EAI_INPROGRESS; error = gai_error(&lookup->request)) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                const int cancelled = gai_cancel(&lookup->request);
                if (cancelled == EAI_NOTCANCELED) {
                    (void)lookup.release();  // the lookup still writes into it
                } else if (cancelled == EAI_ALLDONE && lookup->request.ar_result != nullptr) {
                    freeaddrinfo(lookup->request.ar_result);
                }
                failure = "the host name " + address.host + " was not resolved in time";
                return {};
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            const timespec wait{static_cast<time_t>(ns / 1000000000),
                                static_cast<long>(ns % 1000000000)};
            gai_suspend(list, 1, &wait);
        }
        found = lookup->request.ar_result;
    }
    if (error != 0) {
        failure = "cannot resolve the host name " + address.host + ": " + gai_strerror(error);
        return {};
    }
    std::vector<std::string> portals;
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        char host[NI_MAXHOST];
        if (getnameinfo(at->ai_addr, at->ai_addrlen, host, sizeof host, nullptr, 0,
                        NI_NUMERICHOST) != 0) {
            continue;
        }
        const std::string portal =
            (at->ai_family == AF_INET6 ? "[" + std::string(host) + "]" : host) + ":" +
            std::to_string(address.port);
        if (std::find(portals.begin(), portals.end(), portal) == portals.end()) {
            portals.push_back(portal);
        }
    }
    freeaddrinfo(found);
    if (portals.empty()) {
        failure = "the host name " + address.host + " has no address";
    }
    return portals;
}

}  // namespace

class IscsiSession {
  public:
    IscsiSession(const IscsiOptions& options, const IscsiAddress& address)
        : options_(options), address_(address) {
        address_.luns.clear();
        if (address_.user.empty()) {
            address_.user = Env("LIBISCSI_CHAP_USERNAME");
        }
        if (address_.password.empty()) {
            address_.password = Env("LIBISCSI_CHAP_PASSWORD");
        }
        who_ = address_.targetName + " at " + FormatPortal(address_);
    }

    ~IscsiSession() {
        if (context_ != nullptr && iscsi_is_logged_in(context_) &&
            iscsi_logout_async(context_, OnComplete, &step_) == 0) {
            Pump(step_, Clock::now() + std::min<Clock::duration>(kLogoutWait, Timeout()));
        }
        Close();
    }

    IscsiSession(const IscsiSession&) = delete;
    IscsiSession& operator=(const IscsiSession&) = delete;

    const IscsiOptions& Options() const { return options_; }
    const IscsiAddress& Address() const { return address_; }

    scsi::Outcome Execute(std::uint16_t lun, const scsi::Request& request) {
        using scsi::FailureKind;
        if (request.cdb.size() < 6 || request.cdb.size() > 16) {
            return Failure(FailureKind::NoDevice, "not sent: a CDB of " +
                                                      std::to_string(request.cdb.size()) +
                                                      " bytes (6 to 16 only)");
        }
        if (request.direction == scsi::Direction::In && request.dataInLength > kIscsiMaxDataIn) {
            return Failure(FailureKind::NoDevice,
                           "not sent: " + std::to_string(request.dataInLength) +
                               " bytes asked for, more than one command carries (" +
                               std::to_string(kIscsiMaxDataIn) + ")");
        }
        std::string failure;
        if (context_ == nullptr && !LogIn(failure)) {
            return Failure(FailureKind::NoDevice, failure);
        }
        if (luns_ && std::find(luns_->begin(), luns_->end(), lun) == luns_->end()) {
            return Failure(FailureKind::NoDevice,
                           "LUN " + std::to_string(lun) + " does not exist on " + who_ +
                               ": its REPORT LUNS lists " + LunRanges(*luns_));
        }

        const std::uint32_t seconds =
            request.timeoutSeconds != 0 ? request.timeoutSeconds : options_.timeoutSeconds;
        const std::uint32_t inLength =
            request.direction == scsi::Direction::In ? request.dataInLength : 0;
        TaskPtr task;
        switch (Run(LunField(lun), request.cdb, request.direction, request.dataOut, inLength,
                    Clock::now() + std::chrono::seconds(seconds), task, failure)) {
            case Sent::No:
                return Failure(FailureKind::NoDevice, failure);
            case Sent::Lost:
                return Failure(FailureKind::Interrupted, "the session with " + who_ +
                                                             " ended: " + failure +
                                                             "; the next command logs in again");
            case Sent::TimedOut:
                return Failure(FailureKind::Interrupted,
                               "no answer from " + who_ + " within " + std::to_string(seconds) +
                                   " s; the session is closed and the next command logs in again",
                               ETIMEDOUT);
            case Sent::Answered:
                break;
        }

        scsi::Outcome outcome;
        outcome.status = static_cast<std::uint8_t>(task->status);
        const unsigned char* data = task->datain.data;
        const std::size_t size = data != nullptr ? static_cast<std::size_t>(task->datain.size) : 0;
        if (task->status == SCSI_STATUS_CHECK_CONDITION) {
            // The data segment of a CHECK CONDITION: the sense length, then the sense data.
            if (size >= 2) {
                const std::size_t length = std::min<std::size_t>(Be16(data), size - 2);
                outcome.sense.assign(data + 2, data + 2 + length);
            }
            if (task->sense.ascq == kLunNotSupported) {
                return Failure(FailureKind::NoDevice, "LUN " + std::to_string(lun) +
                                                          " does not exist on " + who_ +
                                                          " (LOGICAL UNIT NOT SUPPORTED)");
            }
        } else if (inLength != 0 && IsGood(task->status)) {
            outcome.dataIn.assign(data, data + std::min<std::size_t>(size, inLength));
        }
        outcome.residual = inLength - static_cast<std::uint32_t>(outcome.dataIn.size());
        NoteRegistration(lun, request, outcome);
        return outcome;
    }

  private:
    enum class Wait : std::uint8_t { Done, Failed, TimedOut };
    enum class Sent : std::uint8_t { No, Answered, Lost, TimedOut };

    static bool IsGood(int status) {
        return status == SCSI_STATUS_GOOD || status == SCSI_STATUS_CONDITION_MET;
    }

    Clock::duration Timeout() const { return std::chrono::seconds(options_.timeoutSeconds); }

    // Serves the session until `completion` is done or the deadline passes. error_ tells why a
    // wait failed, or why a call that is done did not succeed.
    Wait Pump(const Completion& completion, Clock::time_point deadline) {
        const QuietPipe quiet;
        std::string logged;
        firstError = &logged;
        const Wait wait = Serve(completion, deadline);
        firstError = nullptr;
        if (!logged.empty()) {
            // libiscsi adds " [target name]" to what it logs
            const std::string suffix = " [" + address_.targetName + "]";
            if (logged.size() > suffix.size() &&
                logged.compare(logged.size() - suffix.size(), suffix.size(), suffix) == 0) {
                logged.resize(logged.size() - suffix.size());
            }
        }
        // Nothing logged: the connection broke, and libiscsi cancelled what was in flight.
        error_ = !logged.empty() ? logged : "the connection was lost";
        return wait;
    }

    Wait Serve(const Completion& completion, Clock::time_point deadline) {
        while (!completion.done) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return Wait::TimedOut;
            }
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            pollfd events{iscsi_get_fd(context_), static_cast<short>(iscsi_which_events(context_)),
                          0};
            if (events.fd < 0) {
                return Wait::Failed;
            }
            if (events.events == 0) {
                ms = std::min<decltype(ms)>(ms, 100);  // libiscsi asks to be called again later
            }
            const int ready = poll(&events, 1, static_cast<int>(ms));
            if (ready < 0 && errno != EINTR) {
                *firstError = std::string("poll: ") + std::strerror(errno);
                return Wait::Failed;
            }
            if (iscsi_service(context_, ready > 0 ? events.revents : 0) < 0) {
                return Wait::Failed;
            }
        }
        return Wait::Done;
    }

    // Sends one command and waits for its answer. On anything but Answered, `failure` tells why
    // and the session is closed (its commands cancelled).
    Sent Run(int lunField, const std::vector<std::uint8_t>& cdb, scsi::Direction direction,
             const std::vector<std::uint8_t>& dataOut, std::uint32_t inLength,
             Clock::time_point deadline, TaskPtr& task, std::string& failure) {
        const bool out = direction == scsi::Direction::Out && !dataOut.empty();
        task.reset(scsi_create_task(static_cast<int>(cdb.size()),
                                    const_cast<unsigned char*>(cdb.data()),
                                    out             ? SCSI_XFER_WRITE
                                    : inLength != 0 ? SCSI_XFER_READ
                                                    : SCSI_XFER_NONE,
                                    static_cast<int>(out ? dataOut.size() : inLength)));
        iscsi_data data{dataOut.size(), const_cast<unsigned char*>(dataOut.data())};
        command_ = {};
        if (task == nullptr || iscsi_scsi_command_async(context_, lunField, task.get(), OnComplete,
                                                        out ? &data : nullptr, &command_) != 0) {
            failure = "not sent: " + ErrorText(context_);
            Close();
            return Sent::No;
        }
        const Wait wait = Pump(command_, deadline);
        if (wait == Wait::Done && IsScsiStatus(command_.status)) {
            return Sent::Answered;
        }
        failure = error_;
        Close();
        return wait == Wait::TimedOut ? Sent::TimedOut : Sent::Lost;
    }

    // Connects, logs in and reads the LUNs, all within the connector's timeout. A failure is kept
    // and given to every later command.
    bool LogIn(std::string& failure) {
        if (!loginFailure_.empty()) {
            failure = loginFailure_;
            return false;
        }
        const auto deadline = Clock::now() + Timeout();
        if (!Connect(deadline, failure) || !Login(deadline, failure) ||
            !ReadLuns(deadline, failure)) {
            Close();
            loginFailure_ = failure;
            return false;
        }
        return true;
    }

    bool Connect(Clock::time_point deadline, std::string& failure) {
        const std::vector<std::string> portals = Portals(address_, deadline, failure);
        for (const std::string& portal : portals) {
            Close();
            if (!NewContext(failure)) {
                return false;
            }
            step_ = {};
            if (iscsi_connect_async(context_, portal.c_str(), OnComplete, &step_) != 0) {
                failure = "cannot connect to the portal " + portal + ": " + ErrorText(context_);
                continue;
            }
            const Wait wait = Pump(step_, deadline);
            if (wait == Wait::Done && step_.status == SCSI_STATUS_GOOD) {
                return true;
            }
            if (wait == Wait::TimedOut) {
                failure = "no answer from the portal " + portal + " within " +
                          std::to_string(options_.timeoutSeconds) + " s";
                return false;
            }
            failure = "cannot connect to the portal " + portal + ": " + error_;
        }
        return false;
    }

    bool NewContext(std::string& failure) {
        context_ = iscsi_create_context(options_.initiatorName.c_str());
        if (context_ == nullptr) {
            failure = "libiscsi cannot create a session for " + options_.initiatorName;
            return false;
        }
        const char* debug = std::getenv("LIBISCSI_DEBUG");
        debugLog = debug != nullptr;
        iscsi_set_log_fn(context_, OnLog);
        iscsi_set_log_level(context_, std::max(1, debug != nullptr ? std::atoi(debug) : 0));
        const Isid& isid = *options_.isid;
        const auto b = [&isid](std::size_t i) { return std::uint32_t{isid[i]}; };
        switch (isid[0] >> 6) {
            case 0:  // OUI: A and B hold the OUI, C and D the qualifier
                iscsi_set_isid_oui(context_, (b(0) & 0x3F) << 16 | b(1) << 8 | b(2),
                                   b(3) << 16 | b(4) << 8 | b(5));
                break;
            case 1:  // EN: B and C hold the enterprise number, D the qualifier
                iscsi_set_isid_en(context_, b(1) << 16 | b(2) << 8 | b(3), b(4) << 8 | b(5));
                break;
            default:  // random: B and C random, D the qualifier
                iscsi_set_isid_random(context_, b(1) << 16 | b(2) << 8 | b(3), b(4) << 8 | b(5));
                break;
        }
        iscsi_set_targetname(context_, address_.targetName.c_str());
        iscsi_set_session_type(context_, ISCSI_SESSION_NORMAL);
        // libiscsi's own reconnect would log in again in the middle of a command, with a random
        // ISID: a new I_T nexus that the caller would not know of.
        iscsi_set_noautoreconnect(context_, 1);
        if (!address_.user.empty() && !address_.password.empty()) {
            iscsi_set_initiator_username_pwd(context_, address_.user.c_str(),
                                             address_.password.c_str());
            const std::string targetUser = Env("LIBISCSI_CHAP_TARGET_USERNAME");
            const std::string targetPassword = Env("LIBISCSI_CHAP_TARGET_PASSWORD");
            if (!targetUser.empty() && !targetPassword.empty()) {
                iscsi_set_target_username_pwd(context_, targetUser.c_str(), targetPassword.c_str());
            }
        }
        return true;
    }

    bool Login(Clock::time_point deadline, std::string& failure) {
        step_ = {};
        Wait wait = Wait::Failed;
        if (iscsi_login_async(context_, OnComplete, &step_) == 0) {
            wait = Pump(step_, deadline);
        } else {
            error_ = ErrorText(context_);
        }
        if (wait == Wait::Done && step_.status == SCSI_STATUS_GOOD) {
            return true;
        }
        failure = wait == Wait::TimedOut ? "no answer to the login to " + who_ + " within " +
                                               std::to_string(options_.timeoutSeconds) + " s"
                                         : "the login to " + who_ + " failed: " + error_;
        return false;
    }

    // REPORT LUNS, so that a command for a LUN the target does not have is not sent. A target that
    // does not answer it with a list is sent every command.
    bool ReadLuns(Clock::time_point deadline, std::string& failure) {
        std::vector<std::uint8_t> cdb(12);
        cdb[0] = kReportLuns;
        for (int i = 0; i < 4; ++i) {
            cdb[6 + i] = static_cast<std::uint8_t>(kReportLunsLength >> (24 - 8 * i));
        }
        for (int attempt = 0; attempt <= kAttentionRetries; ++attempt) {
            TaskPtr task;
            switch (
                Run(0, cdb, scsi::Direction::In, {}, kReportLunsLength, deadline, task, failure)) {
                case Sent::No:
                case Sent::Lost:
                    failure = "the session with " + who_ + " ended after the login: " + failure;
                    return false;
                case Sent::TimedOut:
                    failure = "no answer to REPORT LUNS from " + who_ + " within " +
                              std::to_string(options_.timeoutSeconds) + " s";
                    return false;
                case Sent::Answered:
                    break;
            }
            if (task->status == SCSI_STATUS_CHECK_CONDITION &&
                task->sense.key == SCSI_SENSE_UNIT_ATTENTION) {
                continue;
            }
            const unsigned char* data = task->datain.data;
            const std::size_t size =
                data != nullptr ? static_cast<std::size_t>(task->datain.size) : 0;
            if (!IsGood(task->status) || size < 8) {
                return true;
            }
            std::vector<std::uint16_t> luns;
            const std::size_t end = std::min<std::size_t>(size, 8 + std::size_t{Be32(data)});
            for (std::size_t at = 8; at + 8 <= end; at += 8) {
                const unsigned method = data[at] >> 6;
                if (method == 0 && (data[at] & 0x3F) == 0) {  // peripheral, bus 0
                    luns.push_back(data[at + 1]);
                } else if (method == 1) {  // flat
                    luns.push_back(
                        static_cast<std::uint16_t>((data[at] & 0x3F) << 8 | data[at + 1]));
                }
            }
            luns_ = std::move(luns);
            return true;
        }
        return true;
    }

    // Keeps which LUNs this login has registered a key on, and explains a RESERVATION CONFLICT of a
    // PERSISTENT RESERVE OUT that needs a registration on a LUN where it has none: tgt ties a
    // registration to the iSCSI session that made it (its TSIH), whatever the initiator name and
    // ISID, so a key registered by an earlier run, or before this session logged in again, is not
    // this session's.
    void NoteRegistration(std::uint16_t lun, const scsi::Request& request, scsi::Outcome& outcome) {
        if (request.cdb[0] != kPersistentReserveOut || request.dataOut.size() < 16) {
            return;
        }
        const std::uint8_t action = request.cdb[1] & 0x1F;
        const bool registers = action == kRegister || action == kRegisterAndIgnore;
        const auto key = [&request](std::size_t at) {
            return std::any_of(request.dataOut.begin() + static_cast<std::ptrdiff_t>(at),
                               request.dataOut.begin() + static_cast<std::ptrdiff_t>(at + 8),
                               [](std::uint8_t b) { return b != 0; });
        };
        if (registers && outcome.status == SCSI_STATUS_GOOD) {
            if (key(8)) {
                registered_.push_back(lun);
            } else {
                std::erase(registered_, lun);
            }
            return;
        }
        const bool needsRegistration =
            (action >= kReserve && action <= kRegisterAndMove && action != kRegisterAndIgnore) ||
            (action == kRegister && key(0));
        if (outcome.status == SCSI_STATUS_RESERVATION_CONFLICT && needsRegistration &&
            std::find(registered_.begin(), registered_.end(), lun) == registered_.end()) {
            outcome.facts.push_back(scsi::Fact::Text(
                "note", "this session has registered no key on LUN " + std::to_string(lun) +
                            " since it logged in: a target that ties registrations to the iSCSI "
                            "session, as tgt does, does not count a key registered by an earlier "
                            "run or before the session logged in again as this session's, "
                            "whatever the initiator name and ISID"));
        }
    }

    void Close() {
        if (context_ != nullptr) {
            const QuietPipe quiet;
            iscsi_destroy_context(context_);  // calls back every command still open, cancelled
            context_ = nullptr;
        }
        luns_.reset();
        registered_.clear();
    }

    IscsiOptions options_;
    IscsiAddress address_;
    std::string who_;
    iscsi_context* context_ = nullptr;
    Completion step_;     // of the connection, the login or the logout
    Completion command_;  // of the one command in flight
    std::string error_;   // why the last wait failed
    std::string loginFailure_;
    std::optional<std::vector<std::uint16_t>> luns_;
    std::vector<std::uint16_t> registered_;  // LUNs this login has registered a key on
};

IscsiTarget::IscsiTarget(std::shared_ptr<IscsiSession> session, std::uint16_t lun)
    : session_(std::move(session)), lun_(lun) {}

IscsiTarget::~IscsiTarget() = default;

scsi::Outcome IscsiTarget::Execute(const scsi::Request& request) {
    return session_->Execute(lun_, request);
}

std::uint32_t IscsiTarget::MaxDataIn() const {
    return kIscsiMaxDataIn;
}

std::string IscsiTarget::InitiatorName() const {
    return InitiatorPortName(session_->Options().initiatorName, *session_->Options().isid);
}

std::string IscsiTarget::Where() const {
    return FormatIscsiAddress(session_->Address(), lun_);
}

std::vector<scsi::Fact> IscsiTarget::Describe() const {
    const IscsiOptions& options = session_->Options();
    return {scsi::Fact::Text("kind", "iscsi"),
            scsi::Fact::Text("portal", FormatPortal(session_->Address())),
            scsi::Fact::Text("target_name", session_->Address().targetName),
            scsi::Fact::Number("lun", lun_),
            scsi::Fact::Text("initiator_name", options.initiatorName),
            scsi::Fact::Text("isid", IsidText(*options.isid))};
}

std::string DefaultInitiatorName() {
    std::ifstream file("/etc/iscsi/initiatorname.iscsi");
    if (file) {
        std::ostringstream text;
        text << file.rdbuf();
        if (auto name = InitiatorNameFromFile(text.str())) {
            return *name;
        }
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    return InitiatorNameForHost(host);
}

IscsiConnector::IscsiConnector(IscsiOptions options) : options_(std::move(options)) {
    if (options_.initiatorName.empty()) {
        options_.initiatorName = DefaultInitiatorName();
    }
    if (!options_.isid) {
        options_.isid = IsidFromName(options_.initiatorName);
    }
    if (options_.timeoutSeconds == 0) {
        options_.timeoutSeconds = kIscsiDefaultTimeout;
    }
}

IscsiConnector::~IscsiConnector() = default;

std::vector<std::unique_ptr<IscsiTarget>> IscsiConnector::Open(const IscsiAddress& address) {
    std::shared_ptr<IscsiSession>& session =
        sessions_[FormatPortal(address) + " " + address.targetName];
    if (!session) {
        session = std::make_shared<IscsiSession>(options_, address);
    }
    std::vector<std::unique_ptr<IscsiTarget>> targets;
    for (const std::uint16_t lun : address.luns) {
        targets.push_back(std::make_unique<IscsiTarget>(session, lun));
    }
    return targets;
}

}  // namespace tessaly::targets
