#include "targets/iscsi/IscsiTarget.h"

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
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

// The first error libiscsi logs on this thread (the one serving a session) since the session last
// cleared it: its last error (iscsi_get_error) may be one it met while cleaning up after the first,
// or one of an earlier command. "Can not reconnect right now" is what it says when it looks again
// at a connection it has already given up, never why it broke.
thread_local std::string* firstError = nullptr;
// LIBISCSI_DEBUG is set: libiscsi's log goes to stderr as it would.
std::atomic<bool> debugLog = false;

void OnLog(int level, const char* message) {
    if (level <= 1 && firstError != nullptr && firstError->empty() &&
        std::strstr(message, "Can not reconnect right now") == nullptr) {
        *firstError = message;
        firstError->erase(firstError->find_last_not_of(" \r\n") + 1);
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

// A command that never left this program: the session could not be had, or the command could
// not be put on it.
scsi::Outcome NotSent(std::string text) {
    return scsi::Outcome::Failed(scsi::FailureKind::NoDevice, std::move(text), 0, false);
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

// One caller's command, from Execute to its outcome. `done`, `outcome` and `waiting` belong to
// the session's mutex; the rest is set before the command is queued.
struct Command {
    std::uint16_t lun = 0;
    scsi::Request request;  // libiscsi sends dataOut from here
    std::uint32_t inLength = 0;
    std::uint32_t seconds = 0;  // its timeout
    bool done = false;
    bool waiting = false;  // its caller waits for it, and may be asked to serve the session
    scsi::Outcome outcome;
    std::condition_variable finished;
};

// A command handed to libiscsi and not yet answered: the serving thread's alone.
struct Flight {
    std::shared_ptr<Command> command;
    TaskPtr task;
    iscsi_data data{};
    Completion completion;
    Clock::time_point deadline;
    std::uint64_t answersBefore = 0;  // the session's count of answers when it was sent
};

// While a thread serves a session: libiscsi's first error is kept for it, and SIGPIPE, which
// libiscsi's writev raises on a connection the target closed, stays pending on the thread and is
// taken back at the end, so that the broken connection ends the commands instead of the program.
class ServingScope {
  public:
    explicit ServingScope(std::string& logged) : before_(firstError) {
        firstError = &logged;
        sigset_t pipe = PipeSet();
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~ServingScope() {
        sigset_t pipe = PipeSet();
        sigset_t pending;
        if (!sigismember(&old_, SIGPIPE) && sigpending(&pending) == 0 &&
            sigismember(&pending, SIGPIPE)) {
            const timespec now{};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        firstError = before_;
    }
    ServingScope(const ServingScope&) = delete;
    ServingScope& operator=(const ServingScope&) = delete;

  private:
    static sigset_t PipeSet() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        return set;
    }

    std::string* before_;
    sigset_t old_{};
};

}  // namespace

// One session: a libiscsi context that one thread at a time touches (libiscsi is not
// thread-safe), started at the first command. Callers queue their commands; the caller that finds
// nobody serving the session serves it until its own command is done: it logs in, hands every
// queued command to libiscsi at once, serves the socket and an eventfd that other callers wake it
// with, and ends each command by its answer or its deadline. Then it hands the session to a
// caller that still waits. A caller alone on its session thus does all its own work, with no
// other thread to wake.
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

    // Nobody waits any more: the session logs out (at most 2 s).
    ~IscsiSession() {
        const ServingScope serving(logged_);
        if (context_ != nullptr && iscsi_is_logged_in(context_)) {
            Completion step;
            if (iscsi_logout_async(context_, OnComplete, &step) == 0) {
                Pump(step, Clock::now() + std::min<Clock::duration>(kLogoutWait, Timeout()));
            }
        }
        EndSession([this](const Flight&) {
            return scsi::Outcome::Failed(scsi::FailureKind::Interrupted,
                                         "the session with " + who_ + " ended");
        });
        if (wake_ >= 0) {
            close(wake_);
        }
    }

    IscsiSession(const IscsiSession&) = delete;
    IscsiSession& operator=(const IscsiSession&) = delete;

    const IscsiOptions& Options() const { return options_; }
    const IscsiAddress& Address() const { return address_; }
    std::size_t InFlight() const { return inFlight_; }

    scsi::Outcome Execute(std::uint16_t lun, const scsi::Request& request) {
        using scsi::FailureKind;
        if (request.cdb.size() < 6 || request.cdb.size() > 16) {
            return NotSent("not sent: a CDB of " + std::to_string(request.cdb.size()) +
                           " bytes (6 to 16 only)");
        }
        if (request.direction == scsi::Direction::In && request.dataInLength > kIscsiMaxDataIn) {
            return NotSent("not sent: " + std::to_string(request.dataInLength) +
                           " bytes asked for, more than one command carries (" +
                           std::to_string(kIscsiMaxDataIn) + ")");
        }
        auto command = std::make_shared<Command>();
        command->lun = lun;
        command->request = request;
        command->inLength = request.direction == scsi::Direction::In ? request.dataInLength : 0;
        command->seconds =
            request.timeoutSeconds != 0 ? request.timeoutSeconds : options_.timeoutSeconds;

        std::unique_lock lock(mutex_);
        if (wake_ < 0 && (wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) {
            return NotSent("not sent: no event for the session with " + who_ + ": " +
                           std::strerror(errno));
        }
        queue_.push_back(command);
        if (serving_) {
            Wake();
        }
        // Whoever serves the session ends every command by its deadline, which starts once the
        // session is logged in: this bound only guards against that thread being held up.
        const auto bound =
            Clock::now() + Timeout() + std::chrono::seconds(command->seconds) + kGrace;
        while (!command->done) {
            if (!serving_) {
                serving_ = true;
                lock.unlock();
                Serve(*command);
                lock.lock();
                serving_ = false;
                HandOn();
                continue;
            }
            command->waiting = true;
            const bool woken = command->finished.wait_until(
                lock, bound, [&command, this] { return command->done || !serving_; });
            command->waiting = false;
            if (!woken) {
                return scsi::Outcome::Failed(
                    FailureKind::Interrupted,
                    "no answer from " + who_ + " within " + std::to_string(command->seconds) + " s",
                    ETIMEDOUT);
            }
        }
        return std::move(command->outcome);
    }

  private:
    enum class Wait : std::uint8_t { Done, Failed, TimedOut };

    static constexpr auto kGrace = std::chrono::seconds(2);

    static bool IsGood(int status) {
        return status == SCSI_STATUS_GOOD || status == SCSI_STATUS_CONDITION_MET;
    }

    Clock::duration Timeout() const { return std::chrono::seconds(options_.timeoutSeconds); }

    void Wake() const {
        const std::uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }

    // Serves the session until `own` is done. Only this thread ends commands meanwhile, so it
    // reads `own.done` without the mutex.
    void Serve(const Command& own) {
        const ServingScope serving(logged_);
        for (;;) {
            std::deque<std::shared_ptr<Command>> arrived;
            {
                const std::lock_guard lock(mutex_);
                arrived.swap(queue_);
            }
            for (const std::shared_ptr<Command>& command : arrived) {
                Start(command);
            }
            inFlight_ = flights_.size();
            if (own.done) {
                return;
            }
            ServeOnce();
            inFlight_ = flights_.size();
            if (own.done) {
                return;
            }
        }
    }

    // Under mutex_, with nobody serving: a caller whose command is still to be ended serves the
    // session next.
    void HandOn() {
        for (const auto& command : queue_) {
            if (command->waiting) {
                return command->finished.notify_one();
            }
        }
        for (const auto& flight : flights_) {
            if (flight->command->waiting) {
                return flight->command->finished.notify_one();
            }
        }
    }

    // The caller is woken once the mutex is free, so that it does not wake only to wait for it.
    // Whoever calls this holds the command, so it outlives the notification.
    void Finish(Command& command, scsi::Outcome outcome) {
        {
            const std::lock_guard lock(mutex_);
            command.outcome = std::move(outcome);
            command.done = true;
        }
        command.finished.notify_one();
    }

    // Logs in when the session is not, and hands the command to libiscsi.
    void Start(const std::shared_ptr<Command>& command) {
        using scsi::FailureKind;
        if (!loginFailure_.empty()) {
            return Finish(*command, NotSent(loginFailure_));
        }
        if (context_ == nullptr) {
            if (!lostWhileIdle_.empty()) {
                Finish(*command, scsi::Outcome::Failed(FailureKind::Interrupted, lostWhileIdle_));
                lostWhileIdle_.clear();
                return;
            }
            std::string failure;
            if (!LogIn(failure)) {
                return Finish(*command, NotSent(failure));
            }
        }
        const std::uint16_t lun = command->lun;
        if (luns_ && std::find(luns_->begin(), luns_->end(), lun) == luns_->end()) {
            return Finish(*command, NotSent("LUN " + std::to_string(lun) + " does not exist on " +
                                            who_ + ": its REPORT LUNS lists " + LunRanges(*luns_)));
        }
        auto flight = std::make_unique<Flight>();
        flight->command = command;
        const scsi::Request& request = command->request;
        const bool out = request.direction == scsi::Direction::Out && !request.dataOut.empty();
        flight->task.reset(scsi_create_task(
            static_cast<int>(request.cdb.size()), const_cast<unsigned char*>(request.cdb.data()),
            out                      ? SCSI_XFER_WRITE
            : command->inLength != 0 ? SCSI_XFER_READ
                                     : SCSI_XFER_NONE,
            static_cast<int>(out ? request.dataOut.size() : command->inLength)));
        flight->data = {request.dataOut.size(), const_cast<unsigned char*>(request.dataOut.data())};
        if (flight->task == nullptr ||
            iscsi_scsi_command_async(context_, LunField(lun), flight->task.get(), OnComplete,
                                     out ? &flight->data : nullptr, &flight->completion) != 0) {
            Finish(*command, NotSent("not sent: " + ErrorText(context_)));
            return Lost(false);
        }
        flight->deadline = Clock::now() + std::chrono::seconds(command->seconds);
        flight->answersBefore = answers_;
        flights_.push_back(std::move(flight));
    }

    // Waits for the socket, a caller or the nearest deadline; ends what was answered, what was
    // lost and what is late.
    void ServeOnce() {
        pollfd fds[2] = {{wake_, POLLIN, 0}, {-1, 0, 0}};
        int ms = -1;
        if (context_ != nullptr) {
            fds[1].fd = iscsi_get_fd(context_);
            fds[1].events = static_cast<short>(iscsi_which_events(context_));
            if (fds[1].events == 0) {
                ms = 100;  // libiscsi asks to be called again later
            }
        }
        const auto now = Clock::now();
        for (const auto& flight : flights_) {
            const auto left = std::max<std::int64_t>(
                0, std::chrono::ceil<std::chrono::milliseconds>(flight->deadline - now).count());
            ms = ms < 0 ? static_cast<int>(left) : std::min(ms, static_cast<int>(left));
        }
        if (poll(fds, 2, ms) < 0 && errno != EINTR && context_ != nullptr) {
            logged_ = std::string("poll: ") + std::strerror(errno);
            return Lost();
        }
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!read(wake_, &count, sizeof count);
        }
        if (context_ == nullptr) {
            return;
        }
        bool lost = false;
        if (fds[1].revents != 0 || fds[1].events == 0) {
            if (answered_) {
                logged_.clear();  // what went wrong before an answer came is not why it breaks
                answered_ = false;
            }
            lost = iscsi_service(context_, fds[1].revents) < 0;
        }
        for (auto at = flights_.begin(); at != flights_.end();) {
            Flight& flight = **at;
            if (!flight.completion.done) {
                ++at;
            } else if (!IsScsiStatus(flight.completion.status)) {
                lost = true;  // libiscsi cancels what is in flight when the connection breaks
                ++at;
            } else {
                ++answers_;
                answered_ = true;
                Finish(*flight.command, Answer(*flight.command, *flight.task));
                at = flights_.erase(at);
            }
        }
        if (lost) {
            return Lost();
        }
        Expire();
    }

    // The connection broke: every command in flight ends Interrupted, and when none was (and
    // `tellNext`), the next command to come does, so that someone learns that the session (on tgt:
    // the I_T nexus) ended. The next after it logs in again.
    void Lost(bool tellNext = true) {
        const std::string text = "the session with " + who_ + " ended: " + LoggedError() +
                                 "; the next command logs in again";
        const bool told = !flights_.empty();
        EndSession([&text](const Flight&) {
            return scsi::Outcome::Failed(scsi::FailureKind::Interrupted, text);
        });
        if (!told && tellNext) {
            lostWhileIdle_ = text;
        }
    }

    // Commands whose deadline has passed end Interrupted. While the target answers others (an
    // answer came after the late command was sent) and libiscsi holds nothing unwritten, only
    // they go: libiscsi forgets them (a late answer is dropped), the target is asked to abort
    // them, and the session goes on. Otherwise the target or the connection is held up: the
    // session is closed and every command in flight ends, as one that waits would only wait too.
    // A command still unwritten cannot be taken back alone: its command number would be missing.
    void Expire() {
        const auto now = Clock::now();
        bool alone =
            iscsi_out_queue_length(context_) == 0 && (iscsi_which_events(context_) & POLLOUT) == 0;
        std::size_t late = 0;
        for (const auto& flight : flights_) {
            if (flight->deadline <= now) {
                ++late;
                alone = alone && answers_ > flight->answersBefore;
            }
        }
        if (late == 0) {
            return;
        }
        const auto timedOut = [this](std::uint32_t seconds, const char* then) {
            return scsi::Outcome::Failed(
                scsi::FailureKind::Interrupted,
                "no answer from " + who_ + " within " + std::to_string(seconds) + " s; " + then,
                ETIMEDOUT);
        };
        if (!alone) {
            return EndSession([&](const Flight& flight) {
                return flight.deadline <= now
                           ? timedOut(flight.command->seconds,
                                      "the session is closed and the next command logs in again")
                           : scsi::Outcome::Failed(
                                 scsi::FailureKind::Interrupted,
                                 "the session with " + who_ +
                                     " was closed: another command got no answer in time; "
                                     "the next command logs in again",
                                 ECANCELED);
            });
        }
        for (auto at = flights_.begin(); at != flights_.end();) {
            Flight& flight = **at;
            if (flight.deadline > now) {
                ++at;
                continue;
            }
            iscsi_task_mgmt_abort_task_async(context_, flight.task.get(), nullptr, nullptr);
            iscsi_scsi_cancel_task(context_, flight.task.get());
            Finish(*flight.command,
                   timedOut(flight.command->seconds,
                            "the command was given up (ABORT TASK sent) and the session goes on"));
            at = flights_.erase(at);
        }
    }

    // Closes the session; every command in flight ends with what `why` says of it.
    template <class Why>
    void EndSession(const Why& why) {
        Close();
        for (const auto& flight : flights_) {
            Finish(*flight->command, why(*flight));
        }
        flights_.clear();
    }

    // What libiscsi logged first since logged_ was cleared, without the " [target name]" it adds.
    std::string LoggedError() const {
        if (logged_.empty()) {
            return "the connection was lost";  // libiscsi cancelled what was in flight
        }
        std::string text = logged_;
        const std::string suffix = " [" + address_.targetName + "]";
        if (text.size() > suffix.size() &&
            text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
            text.resize(text.size() - suffix.size());
        }
        return text;
    }

    // The outcome of an answered command.
    scsi::Outcome Answer(const Command& command, const scsi_task& task) {
        scsi::Outcome outcome;
        outcome.status = static_cast<std::uint8_t>(task.status);
        const unsigned char* data = task.datain.data;
        const std::size_t size = data != nullptr ? static_cast<std::size_t>(task.datain.size) : 0;
        if (task.status == SCSI_STATUS_CHECK_CONDITION) {
            // The data segment of a CHECK CONDITION: the sense length, then the sense data.
            if (size >= 2) {
                const std::size_t length = std::min<std::size_t>(Be16(data), size - 2);
                outcome.sense.assign(data + 2, data + 2 + length);
            }
            if (task.sense.ascq == kLunNotSupported) {
                return scsi::Outcome::Failed(scsi::FailureKind::NoDevice,
                                             "LUN " + std::to_string(command.lun) +
                                                 " does not exist on " + who_ +
                                                 " (LOGICAL UNIT NOT SUPPORTED)");
            }
        } else if (command.inLength != 0 && IsGood(task.status)) {
            outcome.dataIn.assign(data, data + std::min<std::size_t>(size, command.inLength));
        }
        outcome.residual = command.inLength - static_cast<std::uint32_t>(outcome.dataIn.size());
        NoteRegistration(command.lun, command.request, outcome);
        return outcome;
    }

    // Serves the session until `completion` is done or the deadline passes, with nothing else in
    // flight (the login, REPORT LUNS, the logout). error_ tells why a wait failed, or why a call
    // that is done did not succeed.
    Wait Pump(const Completion& completion, Clock::time_point deadline) {
        logged_.clear();
        const Wait wait = ServeUntil(completion, deadline);
        error_ = LoggedError();
        return wait;
    }

    Wait ServeUntil(const Completion& completion, Clock::time_point deadline) {
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
                logged_ = std::string("poll: ") + std::strerror(errno);
                return Wait::Failed;
            }
            if (iscsi_service(context_, ready > 0 ? events.revents : 0) < 0) {
                return Wait::Failed;
            }
        }
        return Wait::Done;
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
            Completion step;
            if (iscsi_connect_async(context_, portal.c_str(), OnComplete, &step) != 0) {
                failure = "cannot connect to the portal " + portal + ": " + ErrorText(context_);
                continue;
            }
            const Wait wait = Pump(step, deadline);
            if (wait == Wait::Done && step.status == SCSI_STATUS_GOOD) {
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
        Completion step;
        Wait wait = Wait::Failed;
        if (iscsi_login_async(context_, OnComplete, &step) == 0) {
            wait = Pump(step, deadline);
        } else {
            error_ = ErrorText(context_);
        }
        if (wait == Wait::Done && step.status == SCSI_STATUS_GOOD) {
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
        std::vector<unsigned char> cdb(12);
        cdb[0] = kReportLuns;
        for (int i = 0; i < 4; ++i) {
            cdb[6 + i] = static_cast<std::uint8_t>(kReportLunsLength >> (24 - 8 * i));
        }
        for (int attempt = 0; attempt <= kAttentionRetries; ++attempt) {
            TaskPtr task(scsi_create_task(static_cast<int>(cdb.size()), cdb.data(), SCSI_XFER_READ,
                                          static_cast<int>(kReportLunsLength)));
            Completion done;
            Wait wait = Wait::Failed;
            if (task != nullptr && iscsi_scsi_command_async(context_, 0, task.get(), OnComplete,
                                                            nullptr, &done) == 0) {
                wait = Pump(done, deadline);
            } else {
                error_ = "not sent: " + ErrorText(context_);
            }
            if (wait == Wait::TimedOut) {
                failure = "no answer to REPORT LUNS from " + who_ + " within " +
                          std::to_string(options_.timeoutSeconds) + " s";
                return false;
            }
            if (wait != Wait::Done || !IsScsiStatus(done.status)) {
                failure = "the session with " + who_ + " ended after the login: " + error_;
                return false;
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

    // Under the serving thread; libiscsi calls back every command still in flight, cancelled.
    void Close() {
        if (context_ != nullptr) {
            iscsi_destroy_context(context_);
            context_ = nullptr;
        }
        luns_.reset();
        registered_.clear();
    }

    const IscsiOptions options_;
    IscsiAddress address_;
    std::string who_;

    // Shared with the callers.
    std::mutex mutex_;
    std::deque<std::shared_ptr<Command>> queue_;  // not yet handed to libiscsi
    bool serving_ = false;                        // a caller serves the session
    int wake_ = -1;                               // eventfd: a command is queued for whoever serves
    std::atomic<std::size_t> inFlight_ = 0;       // the size of flights_

    // The serving thread's alone, one thread after another.
    iscsi_context* context_ = nullptr;
    std::vector<std::unique_ptr<Flight>> flights_;
    std::uint64_t answers_ = 0;  // commands answered, over every login
    bool answered_ = false;      // since logged_ was last cleared
    std::string logged_;         // the first error libiscsi logged since it was cleared
    std::string error_;          // why the last wait of Pump failed
    std::string loginFailure_;
    std::string lostWhileIdle_;  // the connection broke with nothing in flight: the next is told
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

std::size_t IscsiConnector::InFlight() const {
    const std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [name, session] : sessions_) {
        count += session->InFlight();
    }
    return count;
}

std::vector<std::unique_ptr<IscsiTarget>> IscsiConnector::Open(const IscsiAddress& address) {
    const std::lock_guard lock(mutex_);
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
