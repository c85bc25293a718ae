#include "cli/Validate.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "cli/Doctor.h"
#include "cli/Interrupt.h"
#include "cli/Program.h"
#include "cli/Values.h"
#include "scsi/Codes.h"
#include "scsi/Sense.h"

namespace tessaly::cli {
namespace {

using scsi::PrAction;
using scsi::PrFields;

constexpr std::uint8_t kEveryType[] = {1, 3, 5, 6, 7, 8};
constexpr std::uint8_t kMainType = scsi::kTypeExclusiveAccessRegistrantsOnly;
constexpr std::uint8_t kPreemptType = scsi::kTypeWriteExclusiveRegistrantsOnly;

// One step: its name, the clause of SPC-3 it checks, what is done and what the rule expects.
struct StepSpec {
    std::string name;
    std::string clause;
    std::string what;
    std::string expects;
};

bool ExclusiveAccess(std::uint8_t type) {
    return type == scsi::kTypeExclusiveAccess ||
           type == scsi::kTypeExclusiveAccessRegistrantsOnly ||
           type == scsi::kTypeExclusiveAccessAllRegistrants;
}

std::string Code(std::uint16_t code) {
    const auto asc = static_cast<std::uint8_t>(code >> 8);
    const auto ascq = static_cast<std::uint8_t>(code);
    char text[16];
    std::snprintf(text, sizeof text, " (%02Xh/%02Xh)", asc, ascq);
    return scsi::AdditionalSenseText(asc, ascq) + text;
}

// The steps in the order they run; the types those REPORT CAPABILITIES offers.
std::vector<StepSpec> Plan(const std::vector<std::uint8_t>& types) {
    const std::string main = TypeText(kMainType);
    const std::string preempt = TypeText(kPreemptType);
    std::vector<StepSpec> plan = {
        {"capabilities", "6.11.4", "REPORT CAPABILITIES by host A",
         "an answer, with the reservation types the device offers"},
        {"register", "5.6.6", "REGISTER by host A, then by host B",
         "GOOD for both, and READ KEYS lists both keys"},
        {"reserve", "5.6.8", "RESERVE " + main + " by host A",
         "GOOD, and READ RESERVATION names host A's key and the type"},
        {"reserve-conflict", "5.6.8", "RESERVE by host B while host A holds it",
         "RESERVATION CONFLICT, and the reservation stays host A's"},
        {"reserve-again", "5.6.8", "RESERVE of the same type by host A, the holder",
         "GOOD, and nothing changes"},
        {"full-status", "6.11.5", "READ FULL STATUS beside READ KEYS and READ RESERVATION",
         "the same generation and keys; host A's registration the holder of that type, host B's "
         "not"},
        {"release", "5.6.10.2", "RELEASE by host A",
         "GOOD, no reservation, both keys still registered"},
        {"release-attention", "5.6.10.2", "the unit attentions of that RELEASE",
         "host B hears RESERVATIONS RELEASED (2Ah/04h), host A nothing"},
        {"preempt-own-key", "5.6.10.4.3",
         "PREEMPT of its own key by host A, the holder, with " + preempt,
         "GOOD; host A keeps its registration and holds the new type; host B's key stays"},
        {"preempt", "5.6.10.4.3", "PREEMPT of host A's key by host B, " + preempt,
         "GOOD; host A's registration goes, host B holds the reservation"},
        {"preempt-attention", "5.6.10.4.3", "the unit attentions of that PREEMPT",
         "host A hears REGISTRATIONS PREEMPTED (2Ah/05h), host B nothing"},
        {"preempt-abort", "5.6.10.5",
         "PREEMPT AND ABORT of host B's key by host A, registered again, " + preempt,
         "GOOD; host B's registration goes, host A holds the reservation"},
        {"preempt-abort-attention", "5.6.10.5", "the unit attentions of that PREEMPT AND ABORT",
         "host B hears REGISTRATIONS PREEMPTED (2Ah/05h), host A nothing"},
    };
    for (const std::uint8_t type : types) {
        const std::string t = std::to_string(type);
        plan.push_back(
            {"type-" + t, "5.6.8",
             "RESERVE and RELEASE of " + TypeText(type) + " by host A, host B not registered",
             "GOOD for both; READ RESERVATION shows the type between them (under an "
             "all-registrants type with a zero key), nothing after"});
        if (ExclusiveAccess(type)) {
            plan.push_back(
                {"read-type-" + t, "6.11.3.4",
                 "READ(10) of one block by host B, not registered, under " + TypeText(type),
                 "RESERVATION CONFLICT"});
        }
    }
    plan.push_back({"clear", "5.6.10.6", "CLEAR by host A, holding " + main + ", host B registered",
                    "GOOD, no key and no reservation left"});
    plan.push_back({"clear-attention", "5.6.10.6", "the unit attentions of that CLEAR",
                    "host B hears RESERVATIONS PREEMPTED (2Ah/03h), host A nothing"});
    plan.push_back({"generation", "6.11.2", "PRGENERATION across the changes above",
                    "one step on each REGISTER, PREEMPT, PREEMPT AND ABORT and CLEAR; none on "
                    "RESERVE, RELEASE or a refused command"});
    return plan;
}

// A command that did not run, or an interrupt: the run stops and cleans up.
struct Stop {
    int status;
    std::string why;
};

struct Host {
    std::string name;  // "path 1", "iqn.2026-12.org.example:b"
    std::unique_ptr<scsi::Target> target;
    ReservationKey key{};
    std::vector<std::uint16_t> heard;  // unit attentions met (ASC << 8 | ASCQ), oldest first
};

class Run {
  public:
    Run(const Invocation& in, DeviceReport& r, Host& a, Host& b)
        : in_(in), r_(r), a_(a), b_(b), raw_(0, in.timeoutSeconds) {}

    // One command, without retries: a unit attention is noted as heard and the command sent again.
    Step Send(Host& h, PrAction action, PrFields fields) {
        Step step;
        for (int attempt = 0; attempt < 8; ++attempt) {
            step = raw_.Run(*h.target, action, fields);
            r_.steps.push_back(step);
            if (!step.outcome.Ran()) {
                throw Stop{step.exitStatus, std::string(scsi::ActionRow(action).name) + " by " +
                                                h.name + ": " + step.failure};
            }
            if (step.exitStatus != kUnitAttention) {
                return step;
            }
            h.heard.push_back(scsi::DecodeSense(step.outcome.sense)->Code());
        }
        throw Stop{kUnitAttention, std::string(scsi::ActionRow(action).name) + " by " + h.name +
                                       ": unit attentions without end"};
    }

    template <class Reply>
    Reply Read(Host& h, PrAction action,
               scsi::Decoded<Reply> (*decoder)(std::span<const std::uint8_t>, std::uint32_t)) {
        const Step step = Send(h, action, {});
        const char* name = scsi::ActionRow(action).name;
        if (!step.Good()) {
            throw Stop{step.exitStatus, std::string(name) + " by " + h.name + ": " + step.failure};
        }
        auto decoded = decoder(step.Data(), step.allocationLength);
        if (!decoded.reply) {
            throw Stop{kMalformedReply,
                       std::string(name) + " reply cannot be decoded: " + decoded.problem};
        }
        return *decoded.reply;
    }
    scsi::KeysReply Keys(Host& h) { return Read(h, PrAction::ReadKeys, scsi::DecodeReadKeys); }
    scsi::ReservationReply Held(Host& h) {
        return Read(h, PrAction::ReadReservation, scsi::DecodeReadReservation);
    }

    // READ(10) of block 0: the status it ends with, in words.
    std::string ReadBlock(Host& h) {
        scsi::Request request;
        request.cdb = {scsi::kOpRead10, 0, 0, 0, 0, 0, 0, 0, 1, 0};
        request.direction = scsi::Direction::In;
        request.dataInLength = 512;
        request.timeoutSeconds = in_.timeoutSeconds;
        for (int attempt = 0; attempt < 8; ++attempt) {
            const scsi::Outcome outcome = h.target->Execute(request);
            if (!outcome.Ran()) {
                throw Stop{kOtherFailure, "READ(10) by " + h.name + ": " + outcome.failureText};
            }
            const auto sense = scsi::DecodeSense(outcome.sense);
            if (outcome.status != scsi::kStatusCheckCondition || !sense) {
                return scsi::StatusName(outcome.status);
            }
            if (sense->key != scsi::kSenseUnitAttention) {
                return "CHECK CONDITION: " + scsi::SenseText(*sense);
            }
            h.heard.push_back(sense->Code());
        }
        throw Stop{kUnitAttention, "READ(10) by " + h.name + ": unit attentions without end"};
    }

    std::string KeysText(const std::vector<ReservationKey>& keys) {
        std::vector<std::string> names;
        for (const auto& key : keys) {
            names.push_back(key == a_.key ? "host A's" : key == b_.key ? "host B's" : KeyText(key));
        }
        std::string text;
        for (const auto& n : names) {
            text += (text.empty() ? "" : ", ") + n;
        }
        return keys.empty() ? "no key" : "keys " + text;
    }
    std::string KeyName(const ReservationKey& key) {
        return key == a_.key             ? "host A's key"
               : key == b_.key           ? "host B's key"
               : key == ReservationKey{} ? "a zero key"
                                         : KeyText(key);
    }
    std::string HeldText(const scsi::ReservationReply& held) {
        return held.held ? "held under " + KeyName(held.key) + ", " + TypeText(held.type)
                         : "no reservation";
    }
    bool SameKeys(std::vector<ReservationKey> got, std::vector<ReservationKey> want) {
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        return got == want;
    }

    // A change under test: the generation before and after it (read by both hosts, whose unit
    // attentions are then those the change raised), and what SPC-3 says it moves it by.
    Step Tested(const std::string& label, int moves, const std::function<Step()>& change) {
        const std::uint32_t before = Keys(a_).generation;
        Keys(b_);
        a_.heard.clear();
        b_.heard.clear();
        const Step step = change();
        const std::uint32_t after = Keys(a_).generation;
        Keys(b_);
        generations_.push_back(
            {label, step.Good() ? moves : 0,
             static_cast<std::int64_t>(after) - static_cast<std::int64_t>(before)});
        return step;
    }

    // The reservation unit attentions (ASC 2Ah) a host heard.
    static std::vector<std::uint16_t> Reservation(const Host& h) {
        std::vector<std::uint16_t> codes;
        for (const std::uint16_t code : h.heard) {
            if ((code >> 8) == 0x2A) {
                codes.push_back(code);
            }
        }
        return codes;
    }
    std::string HeardText(const Host& h) {
        const auto codes = Reservation(h);
        std::string text;
        for (const auto code : codes) {
            text += (text.empty() ? "" : ", ") + Code(code);
        }
        return (&h == &a_ ? "host A heard " : "host B heard ") + (codes.empty() ? "nothing" : text);
    }
    void Attentions(const std::string& name, bool ran, const Host& hears, std::uint16_t code) {
        if (!ran) {
            NotRun(name, "its command failed");
            return;
        }
        const Host& quiet = &hears == &a_ ? b_ : a_;
        const bool pass =
            Reservation(hears) == std::vector<std::uint16_t>{code} && Reservation(quiet).empty();
        Record(name, pass, HeardText(a_) + ", " + HeardText(b_));
    }

    void Record(const std::string& name, bool pass, std::string got) {
        results_.push_back({name, pass ? "pass" : "fail", std::move(got)});
    }
    void NotRun(const std::string& name, const std::string& why) {
        results_.push_back({name, "not run", why});
    }
    bool Failed(const std::string& name) const {
        return std::any_of(results_.begin(), results_.end(),
                           [&](const auto& x) { return x.name == name && x.result == "fail"; });
    }
    void Between() {
        if (Interrupted()) {
            throw Stop{kOtherFailure, "interrupted"};
        }
    }

    PrFields Out(const ReservationKey& key, const ReservationKey& serviceKey = {},
                 std::uint8_t type = 0) {
        PrFields f;
        f.reservationKey = key;
        f.serviceActionKey = serviceKey;
        f.scopeAndType = type;
        return f;
    }
    std::string Result(const Step& step) { return StepResult(step); }

    // Puts the disk in a state for a step from whatever the one before left: each host
    // registered under its key or not, and host `holder` holding `type` (or nothing held).
    void Arrange(bool aRegistered, bool bRegistered, Host* holder, std::uint8_t type) {
        const auto keys = Keys(a_).keys;
        const auto has = [&](const ReservationKey& k) {
            return std::find(keys.begin(), keys.end(), k) != keys.end();
        };
        const scsi::ReservationReply held = Held(a_);
        if (held.held && (holder == nullptr || held.key != holder->key || held.type != type)) {
            Host& h = held.key == b_.key ? b_ : a_;
            Send(h, PrAction::Release, Out(h.key, {}, held.type));
        }
        for (auto [host, wanted] : {std::pair{&a_, aRegistered}, std::pair{&b_, bRegistered}}) {
            if (wanted != has(host->key)) {
                Send(*host, PrAction::RegisterAndIgnoreExistingKey,
                     Out({}, wanted ? host->key : ReservationKey{}));
            }
        }
        if (holder != nullptr && !(held.held && held.key == holder->key && held.type == type)) {
            Send(*holder, PrAction::Reserve, Out(holder->key, {}, type));
        }
    }

    void Steps(const std::vector<std::uint8_t>& offered, bool capabilitiesAnswered,
               const std::string& capabilitiesGot) {
        Record("capabilities", capabilitiesAnswered, capabilitiesGot);

        // Both hosts register; the steps after it need them.
        Between();
        const Step ra = Tested("REGISTER by host A", 1,
                               [&] { return Send(a_, PrAction::Register, Out({}, a_.key)); });
        const Step rb = Tested("REGISTER by host B", 1,
                               [&] { return Send(b_, PrAction::Register, Out({}, b_.key)); });
        auto keys = Keys(a_).keys;
        Record("register", ra.Good() && rb.Good() && SameKeys(keys, {a_.key, b_.key}),
               Result(ra) + ", " + Result(rb) + "; READ KEYS: " + KeysText(keys));
        if (Failed("register")) {
            return;
        }

        Between();
        Step s = Tested("RESERVE", 0,
                        [&] { return Send(a_, PrAction::Reserve, Out(a_.key, {}, kMainType)); });
        scsi::ReservationReply held = Held(a_);
        const auto ours = [&](const scsi::ReservationReply& h, const Host& host, std::uint8_t t) {
            return h.held && h.key == host.key && h.type == t;
        };
        Record("reserve", s.Good() && ours(held, a_, kMainType), Result(s) + "; " + HeldText(held));
        if (Failed("reserve")) {
            return;
        }

        Between();
        s = Tested("RESERVE by host B", 0,
                   [&] { return Send(b_, PrAction::Reserve, Out(b_.key, {}, kMainType)); });
        held = Held(a_);
        Record("reserve-conflict",
               s.exitStatus == kReservationConflict && ours(held, a_, kMainType),
               Result(s) + "; " + HeldText(held));

        Between();
        s = Tested("RESERVE again", 0,
                   [&] { return Send(a_, PrAction::Reserve, Out(a_.key, {}, kMainType)); });
        held = Held(a_);
        Record("reserve-again", s.Good() && ours(held, a_, kMainType),
               Result(s) + "; " + HeldText(held));

        Between();
        FullStatus();

        Between();
        Arrange(true, true, &a_, kMainType);
        s = Tested("RELEASE", 0,
                   [&] { return Send(a_, PrAction::Release, Out(a_.key, {}, kMainType)); });
        held = Held(b_);
        keys = Keys(b_).keys;
        Record("release", s.Good() && !held.held && SameKeys(keys, {a_.key, b_.key}),
               Result(s) + "; " + HeldText(held) + ", " + KeysText(keys));
        Attentions("release-attention", s.Good(), b_, scsi::kAscReservationsReleased);

        Between();
        Arrange(true, true, &a_, kMainType);
        s = Tested("PREEMPT of its own key", 1,
                   [&] { return Send(a_, PrAction::Preempt, Out(a_.key, a_.key, kPreemptType)); });
        keys = Keys(b_).keys;
        held = Held(b_);
        Record("preempt-own-key",
               s.Good() && SameKeys(keys, {a_.key, b_.key}) && ours(held, a_, kPreemptType),
               Result(s) + "; " + KeysText(keys) + ", " + HeldText(held));

        Between();
        Arrange(true, true, &a_, kPreemptType);
        s = Tested("PREEMPT", 1,
                   [&] { return Send(b_, PrAction::Preempt, Out(b_.key, a_.key, kPreemptType)); });
        keys = Keys(b_).keys;
        held = Held(b_);
        Record("preempt", s.Good() && SameKeys(keys, {b_.key}) && ours(held, b_, kPreemptType),
               Result(s) + "; " + KeysText(keys) + ", " + HeldText(held));
        Attentions("preempt-attention", s.Good(), a_, scsi::kAscRegistrationsPreempted);

        Between();
        Arrange(true, true, &b_, kPreemptType);
        s = Tested("PREEMPT AND ABORT", 1, [&] {
            return Send(a_, PrAction::PreemptAndAbort, Out(a_.key, b_.key, kPreemptType));
        });
        keys = Keys(a_).keys;
        held = Held(a_);
        Record("preempt-abort",
               s.Good() && SameKeys(keys, {a_.key}) && ours(held, a_, kPreemptType),
               Result(s) + (NotSupported(s) ? " (the device has no PREEMPT AND ABORT)" : "") +
                   "; " + KeysText(keys) + ", " + HeldText(held));
        Attentions("preempt-abort-attention", s.Good(), b_, scsi::kAscRegistrationsPreempted);

        for (const std::uint8_t type : offered) {
            Between();
            Arrange(true, false, nullptr, 0);
            const std::string t = std::to_string(type);
            const bool all = scsi::EveryRegistrantHolds(type);
            s = Tested("RESERVE " + TypeText(type), 0,
                       [&] { return Send(a_, PrAction::Reserve, Out(a_.key, {}, type)); });
            const scsi::ReservationReply during = Held(a_);
            std::string read;
            if (ExclusiveAccess(type)) {
                read = s.Good() ? ReadBlock(b_) : std::string();
            }
            const Step released = Tested("RELEASE " + TypeText(type), 0, [&] {
                return Send(a_, PrAction::Release, Out(a_.key, {}, type));
            });
            const scsi::ReservationReply after = Held(a_);
            const bool shown = during.held && during.type == type &&
                               during.key == (all ? ReservationKey{} : a_.key);
            Record("type-" + t, s.Good() && shown && released.Good() && !after.held,
                   "RESERVE " + Result(s) + ", " +
                       (during.held
                            ? "held under " + KeyText(during.key) + ", " + TypeText(during.type)
                            : std::string("no reservation")) +
                       "; RELEASE " + Result(released) + ", " + HeldText(after));
            if (ExclusiveAccess(type)) {
                if (s.Good()) {
                    Record("read-type-" + t, read == "RESERVATION CONFLICT", read);
                } else {
                    NotRun("read-type-" + t, "the RESERVE failed");
                }
            }
        }

        Between();
        Arrange(true, true, &a_, kMainType);
        s = Tested("CLEAR", 1, [&] { return Send(a_, PrAction::Clear, Out(a_.key)); });
        keys = Keys(a_).keys;
        held = Held(a_);
        Record("clear", s.Good() && keys.empty() && !held.held,
               Result(s) + "; " + KeysText(keys) + ", " + HeldText(held));
        Attentions("clear-attention", s.Good(), b_, scsi::kAscReservationsPreempted);

        std::string wrong;
        for (const auto& g : generations_) {
            if (g.expected != g.moved) {
                wrong += (wrong.empty() ? "" : "; ") + g.label + " moved it by " +
                         std::to_string(g.moved) + ", not " + std::to_string(g.expected);
            }
        }
        Record("generation", wrong.empty(),
               wrong.empty()
                   ? "as expected over " + std::to_string(generations_.size()) + " changes"
                   : wrong);
    }

    void FullStatus() {
        const Step step = Send(a_, PrAction::ReadFullStatus, {});
        if (!step.Good()) {
            Record("full-status", false,
                   "READ FULL STATUS: " + step.failure +
                       (NotSupported(step) ? " (the device has no READ FULL STATUS)" : ""));
            return;
        }
        const auto decoded = scsi::DecodeReadFullStatus(step.Data(), step.allocationLength);
        if (!decoded.reply) {
            Record("full-status", false, "READ FULL STATUS cannot be decoded: " + decoded.problem);
            return;
        }
        const auto& full = *decoded.reply;
        const scsi::KeysReply keys = Keys(a_);
        const scsi::ReservationReply held = Held(a_);
        std::vector<ReservationKey> listed;
        std::vector<std::string> problems;
        for (const auto& reg : full.registrations) {
            listed.push_back(reg.key);
            const std::string port = scsi::IscsiName(reg.transportId).value_or("");
            for (const Host* h : {&a_, &b_}) {
                if (!SameInitiator(port, h->target->InitiatorName())) {
                    continue;
                }
                const bool holds = h == &a_;
                if (reg.key != h->key || reg.holder != holds || (holds && reg.type != held.type)) {
                    problems.push_back((h == &a_ ? std::string("host A's") : "host B's") +
                                       " registration shows " + KeyText(reg.key) +
                                       (reg.holder ? ", the holder" : ", not the holder"));
                }
            }
        }
        if (full.generation != keys.generation) {
            problems.push_back("generation " + Hex32(full.generation) + " where READ KEYS gives " +
                               Hex32(keys.generation));
        }
        if (!SameKeys(listed, keys.keys)) {
            problems.push_back(KeysText(listed) + " where READ KEYS gives " + KeysText(keys.keys));
        }
        const auto holders = std::count_if(full.registrations.begin(), full.registrations.end(),
                                           [](const auto& reg) { return reg.holder; });
        if (holders != 1) {
            problems.push_back(std::to_string(holders) + " holders where READ RESERVATION names " +
                               HeldText(held));
        }
        std::string got;
        for (const auto& p : problems) {
            got += (got.empty() ? "" : "; ") + p;
        }
        Record("full-status", problems.empty(),
               problems.empty() ? std::to_string(full.registrations.size()) +
                                      " registrations, agreeing with READ KEYS and READ RESERVATION"
                                : got);
    }

    // Removes every registration the hosts hold; says what is left of the run's keys.
    std::string Cleanup() {
        try {
            const auto keys = Keys(a_).keys;
            for (Host* h : {&a_, &b_}) {
                if (std::find(keys.begin(), keys.end(), h->key) != keys.end()) {
                    Send(*h, PrAction::RegisterAndIgnoreExistingKey, Out({}, {}));
                }
            }
            const auto left = Keys(a_).keys;
            std::vector<ReservationKey> ours;
            for (const auto& key : left) {
                if (key == a_.key || key == b_.key) {
                    ours.push_back(key);
                }
            }
            r_.facts.Set("left_behind", static_cast<std::uint32_t>(ours.size()));
            if (ours.empty()) {
                return "cleanup: every key the run made is gone (" + KeysText(left) +
                       " left on the disk)";
            }
            r_.Fail(kOtherFailure);
            return "cleanup: left behind: " + KeysText(ours);
        } catch (const Stop& stop) {
            r_.Fail(stop.status);
            r_.facts.Set("left_behind", Json());
            return "cleanup failed: " + stop.why;
        }
    }

    struct Outcome {
        std::string name;
        std::string result;  // "pass", "fail", "not run"
        std::string got;
    };
    struct Generation {
        std::string label;
        int expected;
        std::int64_t moved;
    };

    const Invocation& in_;
    DeviceReport& r_;
    Host& a_;
    Host& b_;
    Exchanger raw_;
    std::vector<Outcome> results_;
    std::vector<Generation> generations_;
};

ReservationKey PartnerKey(ReservationKey key) {
    key[7] = static_cast<std::uint8_t>(key[7] + 1);
    return key == ReservationKey{} ? ReservationKey{0, 0, 0, 0, 0, 0, 0, 1} : key;
}

}  // namespace

DeviceReport Validate(const Invocation& in, Transports& transports, std::uint32_t device) {
    Host a;
    Host b;
    DeviceReport r;
    if (in.iscsi) {
        const auto lun = static_cast<std::uint16_t>(device);
        a.target = transports.Iscsi(*in.iscsi, lun, {in.initiatorName, in.isid, in.timeoutSeconds});
        b.target = transports.Iscsi(*in.iscsi, lun, {in.withInitiator, {}, in.timeoutSeconds});
        r = ReportFor(*a.target, targets::FormatIscsiAddress(*in.iscsi, lun), Json(device), Json());
        a.name = "this initiator";
        b.name = in.withInitiator;
    } else {
        a.target = transports.Vlk(device, in.path);
        b.target = transports.Vlk(device, *in.withPath);
        r = ReportFor(*a.target, std::to_string(device), Json(device), Json(in.path));
        a.name = "path " + std::to_string(in.path);
        b.name = "path " + std::to_string(*in.withPath);
    }
    a.key = in.key;
    b.key = PartnerKey(in.key);
    r.lines.push_back("host A: " + a.name + ", key " + KeyText(a.key) + "; host B: " + b.name +
                      ", key " + KeyText(b.key));

    // What the disk holds now, read by both hosts (their first commands' unit attentions are
    // passed over as any command does), and the types it offers.
    Exchanger ex(in.retries, in.timeoutSeconds);
    const auto keys =
        Decode(r, r.Add(ex.Run(*a.target, PrAction::ReadKeys, {})), scsi::DecodeReadKeys);
    const auto held = Decode(r, r.Add(ex.Run(*a.target, PrAction::ReadReservation, {})),
                             scsi::DecodeReadReservation);
    r.Add(ex.Run(*b.target, PrAction::ReadKeys, {}));
    if (!keys || !held || r.exitStatus != kSuccess) {
        r.HeadWithFailure();
        return r;
    }
    const Step capabilitiesStep = ex.Run(*a.target, PrAction::ReportCapabilities, {});
    r.steps.push_back(capabilitiesStep);
    std::vector<std::uint8_t> offered(std::begin(kEveryType), std::end(kEveryType));
    bool answered = false;
    std::string capabilitiesGot = capabilitiesStep.failure;
    if (capabilitiesStep.Good()) {
        const auto reply = scsi::DecodeReportCapabilities(capabilitiesStep.Data(),
                                                          capabilitiesStep.allocationLength);
        answered = reply.reply.has_value();
        capabilitiesGot = answered ? "" : "cannot be decoded: " + reply.problem;
        if (answered && reply.reply->typeMaskValid) {
            offered = reply.reply->types;
            for (const auto t : offered) {
                capabilitiesGot += (capabilitiesGot.empty() ? "types " : ", ") + TypeText(t);
            }
        } else if (answered) {
            capabilitiesGot = "no valid type mask: every type is tried";
        }
    }
    std::vector<std::uint8_t> missing;
    for (const auto t : kEveryType) {
        if (std::find(offered.begin(), offered.end(), t) == offered.end()) {
            missing.push_back(t);
        }
    }

    const std::uint32_t count = static_cast<std::uint32_t>(keys->keys.size()) + keys->notShown;
    std::string existing;
    if (count > 0) {
        existing = std::to_string(count) + (count == 1 ? " registration (" : " registrations (");
        for (std::size_t i = 0; i < keys->keys.size(); ++i) {
            existing += (i == 0 ? "" : ", ") + KeyText(keys->keys[i]);
        }
        existing += ")" + (held->held ? " and the reservation held by " + HolderText(*held) + ", " +
                                            TypeText(held->type)
                                      : std::string());
    }
    const char* outcome = in.yes ? "outcome" : "plan";
    if (count > 0 && !in.force) {
        r.Fail(kDiskInUse);
        r.heading = "refused: the disk holds " + existing +
                    ": validate takes an unused disk (--force removes them with a CLEAR)";
        r.facts.Set(outcome, r.heading);
        return r;
    }
    const auto plan = Plan(offered);
    Json steps = Json::Array();
    if (!in.yes) {
        r.wouldChange = true;
        r.heading = "would validate with " + std::to_string(plan.size()) + " steps" +
                    (count > 0 ? ", first removing " + existing + " with a CLEAR (--force)"
                               : std::string());
        for (const auto& step : plan) {
            r.lines.push_back(step.name + " (SPC-3 " + step.clause + "): " + step.what +
                              "; expects " + step.expects);
            Json json = Json::Object();
            json.Set("name", step.name);
            json.Set("clause", step.clause);
            json.Set("what", step.what);
            json.Set("expects", step.expects);
            steps.Push(std::move(json));
        }
        r.facts.Set("steps", std::move(steps));
        r.facts.Set(outcome, r.heading);
        return r;
    }

    ArmInterrupt(true);
    Run run(in, r, a, b);
    std::optional<Stop> stopped;
    try {
        if (count > 0) {
            run.Send(a, PrAction::RegisterAndIgnoreExistingKey, {{}, a.key, 0, 0});
            const Step cleared = run.Send(a, PrAction::Clear, {a.key, {}, 0, 0});
            const auto left = run.Keys(a).keys;
            if (!cleared.Good() || !left.empty()) {
                throw Stop{kOtherFailure, "--force: the CLEAR answered " + StepResult(cleared) +
                                              " and left " + run.KeysText(left)};
            }
            r.lines.push_back("--force: removed " + existing + " with a CLEAR");
        }
        run.Steps(offered, answered, capabilitiesGot);
    } catch (const Stop& stop) {
        stopped = stop;
    }
    const std::string cleanup = run.Cleanup();
    ArmInterrupt(false);

    // Every step of the plan, in its order, with what came of it.
    int failed = 0;
    int passed = 0;
    std::vector<std::string> failures;
    for (const auto& step : plan) {
        const auto found = std::find_if(run.results_.begin(), run.results_.end(),
                                        [&](const auto& x) { return x.name == step.name; });
        const std::string result = found == run.results_.end() ? "not run" : found->result;
        const std::string got =
            found == run.results_.end()
                ? (stopped ? "the run stopped before it" : "after the failure of a step it needs")
                : found->got;
        passed += result == "pass";
        if (result == "fail") {
            ++failed;
            failures.push_back(step.name);
        }
        const std::string mark = result == "pass" ? "PASS" : result == "fail" ? "FAIL" : "NOT RUN";
        r.lines.push_back(mark + " " + step.name + " (SPC-3 " + step.clause + "): " + step.what +
                          ": expects " + step.expects + "; got " + got);
        Json json = Json::Object();
        json.Set("name", step.name);
        json.Set("clause", step.clause);
        json.Set("what", step.what);
        json.Set("expects", step.expects);
        json.Set("result", result);
        json.Set("got", got);
        steps.Push(std::move(json));
    }
    for (const auto t : missing) {
        r.lines.push_back("note: " + TypeText(t) +
                          " is not offered by REPORT CAPABILITIES: not tried");
    }
    r.lines.push_back(cleanup);
    r.facts.Set("steps", std::move(steps));
    if (stopped) {
        r.Fail(stopped->status);
        r.heading = "stopped: " + stopped->why + "; " + std::to_string(passed) + " of " +
                    std::to_string(plan.size()) + " steps passed";
    } else if (failed > 0) {
        r.Fail(kFindings);
        std::string names;
        for (const auto& n : failures) {
            names += (names.empty() ? "" : ", ") + n;
        }
        r.heading = std::to_string(failed) + " of " + std::to_string(plan.size()) +
                    " steps failed: " + names;
    } else {
        r.heading = "passed: all " + std::to_string(plan.size()) + " steps";
    }
    r.facts.Set(outcome, r.heading);
    return r;
}

}  // namespace tessaly::cli
