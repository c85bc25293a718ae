#include "sim/config/Setup.h"

#include "sim/model/DiskModel.h"

namespace vlksim {
namespace {

// The quirks by the names the set-up text gives them.
struct QuirkName {
    const char* name;
    std::uint32_t quirk;
};
constexpr QuirkName kQuirkNames[] = {
    {"all-registrants-open", kQuirkAllRegistrantsOpen},
    {"full-status-key-swapped", kQuirkFullStatusKeySwapped},
    {"no-unit-attentions", kQuirkNoUnitAttentions},
    {"preempt-drops-own", kQuirkPreemptDropsOwn},
    {"reserve-again-conflicts", kQuirkReserveAgainConflicts},
    {"register-overwrites-partner", kQuirkRegisterOverwritesPartner},
    {"generation-stuck", kQuirkGenerationStuck},
    {"no-preempt-abort", kQuirkNoPreemptAbort},
};

constexpr bool EveryQuirkNamedOnce() {
    std::uint32_t named = 0;
    for (const QuirkName& entry : kQuirkNames) {
        if ((named & entry.quirk) != 0) {
            return false;
        }
        named |= entry.quirk;
    }
    return named == kQuirksAll;
}
static_assert(EveryQuirkNamedOnce(), "each quirk of the disk model has one name");

// One line of the text, without its line end, read word by word.
class LineReader {
  public:
    LineReader(const char* begin, const char* end) : at_(begin), end_(end) {}

    struct Word {
        const char* begin;
        std::size_t length;
        bool quoted;  // a double-quoted word; begin and length cover the text inside the quotes
    };

    // The next word, or false at the end of the line or at a comment.
    bool Next(Word& word, SetupError& error) {
        while (at_ != end_ && IsBlank(*at_)) {
            ++at_;
        }
        if (at_ == end_ || *at_ == '#') {
            at_ = end_;
            return false;
        }
        if (*at_ == '"') {
            const char* inside = ++at_;
            while (at_ != end_ && *at_ != '"') {
                ++at_;
            }
            if (at_ == end_) {
                error = SetupError::UnterminatedQuote;
                return false;
            }
            word = {inside, static_cast<std::size_t>(at_ - inside), true};
            ++at_;
            if (at_ != end_ && !IsBlank(*at_) && *at_ != '#') {
                error = SetupError::BadKey;
                return false;
            }
            return true;
        }
        const char* start = at_;
        while (at_ != end_ && !IsBlank(*at_) && *at_ != '#') {
            ++at_;
        }
        word = {start, static_cast<std::size_t>(at_ - start), false};
        return true;
    }

  private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

    const char* at_;
    const char* end_;
};

using Word = LineReader::Word;

bool Is(const Word& word, const char* keyword) {
    if (word.quoted) {
        return false;
    }
    std::size_t i = 0;
    for (; keyword[i] != '\0'; ++i) {
        if (i == word.length) {
            return false;
        }
        char c = word.begin[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != keyword[i]) {
            return false;
        }
    }
    return i == word.length;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a decimal number from [at, end), no sign, at least one digit. Values above `limit` come
// back as limit + 1, so that no digit string can wrap around.
bool ReadNumber(const char*& at, const char* end, std::uint32_t limit, std::uint32_t& value) {
    if (at == end || !IsDigit(*at)) {
        return false;
    }
    value = 0;
    while (at != end && IsDigit(*at)) {
        if (value <= limit) {
            value = value * 10 + static_cast<std::uint32_t>(*at - '0');
        }
        ++at;
    }
    if (value > limit) {
        value = limit + 1;
    }
    return true;
}

// A whole word as one number; `range` is the error for a value above `limit`.
SetupError WordNumber(const Word& word, std::uint32_t limit, SetupError range,
                      std::uint32_t& value) {
    const char* at = word.begin;
    const char* end = word.begin + word.length;
    if (word.quoted || !ReadNumber(at, end, limit, value) || at != end) {
        return SetupError::BadNumber;
    }
    return value > limit ? range : SetupError::None;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

SetupError WordKey(const Word& word, std::uint8_t (&key)[kSetupKeySize]) {
    if (word.quoted) {
        if (word.length != kSetupKeySize) {
            return SetupError::BadKey;
        }
        for (std::size_t i = 0; i < kSetupKeySize; ++i) {
            key[i] = static_cast<std::uint8_t>(word.begin[i]);
        }
    } else {
        if (word.length != 2 * kSetupKeySize) {
            return SetupError::BadKey;
        }
        for (std::size_t i = 0; i < kSetupKeySize; ++i) {
            const int high = HexValue(word.begin[2 * i]);
            const int low = HexValue(word.begin[2 * i + 1]);
            if (high < 0 || low < 0) {
                return SetupError::BadKey;
            }
            key[i] = static_cast<std::uint8_t>(high * 16 + low);
        }
    }
    for (std::uint8_t byte : key) {
        if (byte != 0) {
            return SetupError::None;
        }
    }
    return SetupError::ZeroKey;
}

bool IsReservationType(std::uint32_t type) {
    return type == 1 || type == 3 || type == 5 || type == 6 || type == 7 || type == 8;
}

// "0,1,2", "0-3", "0,2-4": each number once, ranges ascending, none above `limit` (`range` is
// the error for one that is).
SetupError WordNumberList(const Word& word, std::uint32_t limit, SetupError range,
                          std::uint64_t& members) {
    if (word.quoted) {
        return SetupError::BadPathList;
    }
    members = 0;
    const char* at = word.begin;
    const char* end = word.begin + word.length;
    for (;;) {
        std::uint32_t first = 0;
        if (!ReadNumber(at, end, limit, first)) {
            return at == end || *at == ',' || *at == '-' ? SetupError::BadPathList
                                                         : SetupError::BadNumber;
        }
        std::uint32_t last = first;
        if (at != end && *at == '-') {
            ++at;
            if (!ReadNumber(at, end, limit, last)) {
                return at == end || *at == ',' || *at == '-' ? SetupError::BadPathList
                                                             : SetupError::BadNumber;
            }
        }
        if (first > limit || last > limit) {
            return range;
        }
        if (last < first) {
            return SetupError::BadPathList;
        }
        for (std::uint32_t n = first; n <= last; ++n) {
            const std::uint64_t bit = std::uint64_t{1} << n;
            if ((members & bit) != 0) {
                return SetupError::DuplicatePath;
            }
            members |= bit;
        }
        if (at == end) {
            return SetupError::None;
        }
        if (*at != ',') {
            return SetupError::BadNumber;
        }
        ++at;
    }
}

void ClearSetup(DiskSetup& setup) {
    // In place: the set-up is too large for a temporary on a kernel stack.
    std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(&setup);
    for (std::size_t i = 0; i < sizeof(DiskSetup); ++i) {
        bytes[i] = 0;
    }
}

bool IsTextByte(char c) {
    return c == '\t' || (c >= 0x20 && c <= 0x7E);
}

// The rest of a "quirk" line: one name or more, each once for the disk.
SetupError ParseQuirks(LineReader& reader, SetupDevice& device) {
    SetupError error = SetupError::None;
    Word word{};
    std::uint32_t quirks = 0;
    while (reader.Next(word, error)) {
        std::uint32_t quirk = 0;
        for (const QuirkName& entry : kQuirkNames) {
            quirk = Is(word, entry.name) ? entry.quirk : quirk;
        }
        if (quirk == 0) {
            return SetupError::UnknownQuirk;
        }
        if (((quirks | device.quirks) & quirk) != 0) {
            return SetupError::DuplicateQuirk;
        }
        quirks |= quirk;
    }
    if (error != SetupError::None) {
        return error;
    }
    if (quirks == 0) {
        return SetupError::MissingWord;
    }
    if (!device.present) {
        return SetupError::UndeclaredDevice;
    }
    device.quirks |= quirks;
    return SetupError::None;
}

// The rest of a latency statement: the milliseconds and the end of the line.
SetupError ReadLatency(LineReader& reader, Word& word, std::uint32_t& milliseconds) {
    SetupError error = SetupError::None;
    if (!reader.Next(word, error)) {
        return error == SetupError::None ? SetupError::MissingWord : error;
    }
    error = WordNumber(word, kSetupMaxLatencyMs, SetupError::LatencyOutOfRange, milliseconds);
    if (error != SetupError::None) {
        return error;
    }
    if (reader.Next(word, error)) {
        return SetupError::TrailingText;
    }
    return error;
}

// "latency MS" and "device N latency MS": each given once, a disk's after its "paths" line.
SetupError ParseLatency(LineReader& reader, Word& word, bool& set, std::uint32_t& milliseconds,
                        bool declared) {
    std::uint32_t value = 0;
    const SetupError error = ReadLatency(reader, word, value);
    if (error != SetupError::None) {
        return error;
    }
    if (!declared) {
        return SetupError::UndeclaredDevice;
    }
    if (set) {
        return SetupError::DuplicateLatency;
    }
    set = true;
    milliseconds = value;
    return SetupError::None;
}

bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || IsDigit(c) || c == '.' || c == '-' || c == ':';
}

// The rest of "device N foreign F initiator NAME isid ISID", from NAME on.
SetupError ParsePort(LineReader& reader, SetupDevice& device, std::uint32_t foreign) {
    SetupError error = SetupError::None;
    Word name{};
    Word word{};
    if (!reader.Next(name, error)) {
        return error == SetupError::None ? SetupError::MissingWord : error;
    }
    if (name.quoted || name.length == 0 || name.length > kSetupMaxPortName) {
        return SetupError::BadInitiatorName;
    }
    for (std::size_t i = 0; i < name.length; ++i) {
        if (!IsNameCharacter(name.begin[i])) {
            return SetupError::BadInitiatorName;
        }
    }
    if (!reader.Next(word, error)) {
        return error == SetupError::None ? SetupError::MissingWord : error;
    }
    if (!Is(word, "isid")) {
        return SetupError::UnknownWord;
    }
    if (!reader.Next(word, error)) {
        return error == SetupError::None ? SetupError::MissingWord : error;
    }
    std::uint8_t isid[6] = {};
    if (word.quoted || word.length != 12) {
        return SetupError::BadIsid;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        const int high = HexValue(word.begin[2 * i]);
        const int low = HexValue(word.begin[2 * i + 1]);
        if (high < 0 || low < 0) {
            return SetupError::BadIsid;
        }
        isid[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    if (reader.Next(word, error)) {
        return SetupError::TrailingText;
    }
    if (error != SetupError::None) {
        return error;
    }
    if (!device.present) {
        return SetupError::UndeclaredDevice;
    }
    SetupPort& port = device.ports[foreign];
    if (port.present) {
        return SetupError::DuplicatePort;
    }
    port.present = true;
    port.nameLength = static_cast<std::uint8_t>(name.length);
    for (std::size_t i = 0; i < name.length; ++i) {
        port.name[i] = name.begin[i];
    }
    for (std::size_t i = 0; i < 6; ++i) {
        port.isid[i] = isid[i];
    }
    return SetupError::None;
}

// One statement. The line holds only printable bytes and tabs.
SetupError ParseLine(const char* begin, const char* end, DiskSetup& setup) {
    LineReader reader(begin, end);
    SetupError error = SetupError::None;
    Word word{};

    // Reads the next word into `word`, or leaves with the reader's error or MissingWord.
    auto next = [&]() -> bool {
        if (reader.Next(word, error)) {
            return true;
        }
        if (error == SetupError::None) {
            error = SetupError::MissingWord;
        }
        return false;
    };

    if (!reader.Next(word, error)) {
        return error;  // blank line or comment, or a broken quote
    }
    if (Is(word, "latency")) {
        return ParseLatency(reader, word, setup.defaultLatencySet, setup.defaultLatencyMs, true);
    }
    if (!Is(word, "device")) {
        return SetupError::UnknownWord;
    }
    std::uint32_t deviceNumber = 0;
    if (!next()) {
        return error;
    }
    if ((error = WordNumber(word, kSetupMaxDevice, SetupError::DeviceOutOfRange, deviceNumber)) !=
        SetupError::None) {
        return error;
    }
    SetupDevice& device = setup.devices[deviceNumber];

    if (!next()) {
        return error;
    }
    if (Is(word, "latency")) {
        return ParseLatency(reader, word, device.latencySet, device.latencyMs, device.present);
    }
    if (Is(word, "paths")) {
        if (!next()) {
            return error;
        }
        std::uint64_t paths = 0;
        error = WordNumberList(word, kSetupMaxPath, SetupError::PathOutOfRange, paths);
        if (error != SetupError::None) {
            return error;
        }
        bool unitAttentions = false;
        if (reader.Next(word, error)) {
            if (!Is(word, "unit-attentions")) {
                return SetupError::UnknownWord;
            }
            unitAttentions = true;
            if (reader.Next(word, error)) {
                return SetupError::TrailingText;
            }
        }
        if (error != SetupError::None) {
            return error;
        }
        if (device.present) {
            return SetupError::DuplicateDevice;
        }
        device.present = true;
        device.paths = paths;
        device.unitAttentions = unitAttentions;
        return SetupError::None;
    }
    if (Is(word, "quirk")) {
        return ParseQuirks(reader, device);
    }
    if (Is(word, "ptpl-capable")) {
        if (reader.Next(word, error)) {
            return SetupError::TrailingText;
        }
        if (error != SetupError::None) {
            return error;
        }
        if (!device.present) {
            return SetupError::UndeclaredDevice;
        }
        if (device.persistCapable) {
            return SetupError::DuplicatePort;
        }
        device.persistCapable = true;
        return SetupError::None;
    }

    const bool onPath = Is(word, "path");
    if (!onPath && !Is(word, "foreign")) {
        return SetupError::UnknownWord;
    }
    if (!next()) {
        return error;
    }
    std::uint64_t members = 0;
    if (onPath) {
        error = WordNumberList(word, kSetupMaxPath, SetupError::PathOutOfRange, members);
    } else {
        error = WordNumberList(word, kSetupMaxForeign, SetupError::ForeignOutOfRange, members);
    }
    if (error != SetupError::None) {
        return error;
    }
    if (!next()) {
        return error;
    }
    if (!onPath && Is(word, "initiator")) {
        // One initiator: its number is the lowest (and only) member of the list.
        if ((members & (members - 1)) != 0) {
            return SetupError::BadPathList;
        }
        std::uint32_t foreign = 0;
        while ((members & (std::uint64_t{1} << foreign)) == 0) {
            ++foreign;
        }
        return ParsePort(reader, device, foreign);
    }
    if (!Is(word, "key")) {
        return SetupError::UnknownWord;
    }
    if (!next()) {
        return error;
    }
    std::uint8_t key[kSetupKeySize] = {};
    if ((error = WordKey(word, key)) != SetupError::None) {
        return error;
    }
    std::uint32_t type = 0;
    if (reader.Next(word, error)) {
        if (!Is(word, "reserve")) {
            return SetupError::UnknownWord;
        }
        if (!next()) {
            return error;
        }
        if ((error = WordNumber(word, 255, SetupError::BadReservationType, type)) !=
            SetupError::None) {
            return error;
        }
        if (!IsReservationType(type)) {
            return SetupError::BadReservationType;
        }
        if (reader.Next(word, error)) {
            return SetupError::TrailingText;
        }
    }
    if (error != SetupError::None) {
        return error;
    }

    if (!device.present) {
        return SetupError::UndeclaredDevice;
    }
    if (onPath && (members & ~device.paths) != 0) {
        return SetupError::UnknownPath;
    }
    if (type != 0 && device.holder != SetupHolder::None) {
        return SetupError::SecondHolder;
    }
    // Each listed path or initiator in ascending order; the first holds the reservation.
    bool first = true;
    for (std::uint32_t number = 0; number <= kSetupMaxPath; ++number) {
        if ((members & (std::uint64_t{1} << number)) == 0) {
            continue;
        }
        SetupRegistration& registration =
            onPath ? device.pathKeys[number] : device.foreignKeys[number];
        if (registration.present) {
            return SetupError::DuplicateRegistration;
        }
        registration.present = true;
        registration.order = ++device.registrationCount;
        for (std::size_t i = 0; i < kSetupKeySize; ++i) {
            registration.key[i] = key[i];
        }
        if (type != 0 && first) {
            device.holder = onPath ? SetupHolder::Path : SetupHolder::Foreign;
            device.holderNumber = static_cast<std::uint8_t>(number);
            device.reservationType = static_cast<std::uint8_t>(type);
        }
        first = false;
    }
    return SetupError::None;
}

}  // namespace

SetupParseResult ParseSetup(const char* text, std::size_t length, DiskSetup& setup) {
    ClearSetup(setup);
    const char* at = text;
    const char* const end = text + length;
    std::uint32_t line = 0;
    while (at != end) {
        ++line;
        const char* lineEnd = at;
        while (lineEnd != end && *lineEnd != '\n') {
            ++lineEnd;
        }
        // A carriage return is part of the line end only right before the line feed (or at the
        // very end of the text).
        const char* content = lineEnd;
        if (content != at && content[-1] == '\r') {
            --content;
        }
        SetupError error = SetupError::None;
        for (const char* c = at; c != content; ++c) {
            if (!IsTextByte(*c)) {
                error = SetupError::BadCharacter;
                break;
            }
        }
        if (error == SetupError::None) {
            error = ParseLine(at, content, setup);
        }
        if (error != SetupError::None) {
            ClearSetup(setup);
            return {error, line};
        }
        at = lineEnd == end ? end : lineEnd + 1;
    }
    return {SetupError::None, 0};
}

std::uint32_t SetupLatency(const DiskSetup& setup, std::uint32_t device) {
    if (device > kSetupMaxDevice || !setup.devices[device].present) {
        return 0;
    }
    const SetupDevice& d = setup.devices[device];
    return d.latencySet ? d.latencyMs : setup.defaultLatencySet ? setup.defaultLatencyMs : 0;
}

const char* SetupErrorText(SetupError error) {
    switch (error) {
        case SetupError::None:
            return "no error";
        case SetupError::BadCharacter:
            return "a character that is not printable ASCII";
        case SetupError::UnknownWord:
            return "an unknown word";
        case SetupError::MissingWord:
            return "the line ends too early";
        case SetupError::TrailingText:
            return "extra words after the statement";
        case SetupError::BadNumber:
            return "not a decimal number";
        case SetupError::DeviceOutOfRange:
            return "a device number above 100";
        case SetupError::PathOutOfRange:
            return "a path number above 32";
        case SetupError::ForeignOutOfRange:
            return "a foreign initiator above 7";
        case SetupError::BadPathList:
            return "a malformed list of paths or initiators";
        case SetupError::DuplicatePath:
            return "a path or initiator listed twice";
        case SetupError::DuplicateDevice:
            return "a device declared twice";
        case SetupError::UndeclaredDevice:
            return "a registration or quirk on a device without a paths line before it";
        case SetupError::UnknownPath:
            return "a registration on a path the device does not have";
        case SetupError::BadKey:
            return "a key that is not 16 hex digits or 8 quoted characters";
        case SetupError::ZeroKey:
            return "an all-zero key";
        case SetupError::UnterminatedQuote:
            return "a quote without its closing quote";
        case SetupError::DuplicateRegistration:
            return "a path or foreign initiator registered twice";
        case SetupError::BadReservationType:
            return "a reservation type other than 1, 3, 5, 6, 7 or 8";
        case SetupError::SecondHolder:
            return "a second reservation holder on one device";
        case SetupError::UnknownQuirk:
            return "an unknown quirk";
        case SetupError::DuplicateQuirk:
            return "a quirk named twice for one device";
        case SetupError::LatencyOutOfRange:
            return "a latency above 60000 ms";
        case SetupError::DuplicateLatency:
            return "a latency given twice";
        case SetupError::BadInitiatorName:
            return "an initiator name that is not 1 to 63 of a-z 0-9 . - :";
        case SetupError::BadIsid:
            return "an ISID that is not 12 hex digits";
        case SetupError::DuplicatePort:
            return "an initiator port or ptpl-capable given twice for one device";
    }
    return "unknown error";
}

const char* SetupQuirkName(std::uint32_t quirk) {
    for (const QuirkName& entry : kQuirkNames) {
        if (entry.quirk == quirk) {
            return entry.name;
        }
    }
    return nullptr;
}

}  // namespace vlksim
