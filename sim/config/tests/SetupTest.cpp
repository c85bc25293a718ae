#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"
#include "sim/model/DiskModel.h"

namespace vlksim {
namespace {

using Key = std::array<std::uint8_t, kSetupKeySize>;
constexpr Key kTessaly = {0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31};
constexpr Key kNodeB01 = {'N', 'O', 'D', 'E', '-', 'B', '0', '1'};
constexpr Key kNodeC03 = {'N', 'O', 'D', 'E', '-', 'C', '0', '3'};

Key KeyOf(const SetupRegistration& registration) {
    Key key{};
    std::copy(std::begin(registration.key), std::end(registration.key), key.begin());
    return key;
}

std::uint64_t Paths(std::initializer_list<int> paths) {
    std::uint64_t mask = 0;
    for (int p : paths) {
        mask |= std::uint64_t{1} << p;
    }
    return mask;
}

// Parses from a heap block of exactly the text's size, so that AddressSanitizer sees any read
// past its end.
class Parsed {
  public:
    explicit Parsed(const std::string& text) : setup_(std::make_unique<DiskSetup>()) {
        auto copy = std::make_unique<char[]>(text.size() + (text.empty() ? 1 : 0));
        std::copy(text.begin(), text.end(), copy.get());
        result_ = ParseSetup(copy.get(), text.size(), *setup_);
    }
    const SetupParseResult& Result() const { return result_; }
    const SetupDevice& Device(std::uint32_t n) const { return setup_->devices[n]; }
    std::uint32_t Latency(std::uint32_t device) const { return SetupLatency(*setup_, device); }
    int DeviceCount() const {
        int count = 0;
        for (const auto& device : setup_->devices) {
            count += device.present ? 1 : 0;
        }
        return count;
    }

  private:
    std::unique_ptr<DiskSetup> setup_;
    SetupParseResult result_{};
};

TEST(DefaultSetup, DescribesTheDisksItsCommentsName) {
    const Parsed parsed(kDefaultSetupText);
    ASSERT_TRUE(parsed.Result().Ok()) << parsed.Result().line;
    EXPECT_EQ(parsed.DeviceCount(), 7);
    EXPECT_FALSE(parsed.Device(3).present);
    EXPECT_EQ(parsed.Device(0).paths, Paths({0, 1}));
    EXPECT_EQ(parsed.Device(1).paths, Paths({0, 1, 2, 3}));
    EXPECT_EQ(parsed.Device(5).paths, Paths({0, 1, 2}));
    // Held by other hosts: under the program's own key, and (device 2) under another's.
    for (const auto& [n, key] : {std::pair{0u, kTessaly}, std::pair{1u, kTessaly},
                                 std::pair{5u, kTessaly}, std::pair{2u, kNodeB01}}) {
        const SetupDevice& device = parsed.Device(n);
        ASSERT_EQ(device.holder, SetupHolder::Foreign) << n;
        EXPECT_EQ(device.reservationType, 6) << n;
        EXPECT_EQ(KeyOf(device.foreignKeys[device.holderNumber]), key) << n;
    }
    EXPECT_EQ(KeyOf(parsed.Device(2).pathKeys[1]), kTessaly);
    EXPECT_EQ(parsed.Device(4).holder, SetupHolder::None);
    EXPECT_EQ(parsed.Device(4).registrationCount, 0);
    // Devices 6 and 7 only report unit attentions; 7 is held by a dead node on three initiators.
    for (std::uint32_t n = 0; n <= 7; ++n) {
        EXPECT_EQ(parsed.Device(n).unitAttentions, n >= 6) << n;
    }
    const SetupDevice& fenced = parsed.Device(7);
    EXPECT_EQ(fenced.holderNumber, 5);
    for (int f : {5, 6, 7}) {
        EXPECT_EQ(KeyOf(fenced.foreignKeys[f]), kNodeC03) << f;
    }
    EXPECT_EQ(fenced.registrationCount, 6);
}

TEST(SetupStatements, PathListsKeysHoldersAndLayout) {
    // Keywords in any case, tabs, comments, CRLF, blank lines, no final line end.
    const Parsed parsed(
        "\r\n# comment\r\n\t DEVICE\t0 Paths 0,2-4,7  # paths\r\n\n"
        "device 100 paths 32\n"
        "device 7 paths 0-32\n"
        "device 0 path 4 key 0102030405060708 reserve 1\n"
        "device 0 foreign 7 key a1b2C3d4E5f60718\n"
        "Device 0 FOREIGN 0 KEY \"A#B C D1\" # a quoted key may hold # and blanks\n"
        "device 9 paths 0-3 UNIT-ATTENTIONS\n"
        "device 9 path 3,1 key 0102030405060708 reserve 5\n"
        "device 9 foreign 6,2-3 key 0102030405060708\n"
        "device 9 quirk NO-PREEMPT-ABORT\tgeneration-stuck # two of them\n"
        "device 9 quirk all-registrants-open");
    ASSERT_TRUE(parsed.Result().Ok()) << SetupErrorText(parsed.Result().error);
    EXPECT_EQ(parsed.Device(0).paths, Paths({0, 2, 3, 4, 7}));
    EXPECT_EQ(parsed.Device(100).paths, std::uint64_t{1} << 32);
    EXPECT_EQ(parsed.Device(7).paths, (std::uint64_t{1} << 33) - 1);

    const SetupDevice& d = parsed.Device(0);
    EXPECT_EQ(KeyOf(d.pathKeys[4]), (Key{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(KeyOf(d.foreignKeys[7]), (Key{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18}));
    EXPECT_EQ(KeyOf(d.foreignKeys[0]), (Key{'A', '#', 'B', ' ', 'C', ' ', 'D', '1'}));
    EXPECT_FALSE(d.pathKeys[0].present);
    EXPECT_EQ(d.holder, SetupHolder::Path);
    EXPECT_EQ(d.holderNumber, 4);
    EXPECT_EQ(d.reservationType, 1);
    // Registrations keep the order of their lines.
    EXPECT_EQ(d.registrationCount, 3);
    EXPECT_EQ(d.pathKeys[4].order, 1);
    EXPECT_EQ(d.foreignKeys[7].order, 2);
    EXPECT_EQ(d.foreignKeys[0].order, 3);
    EXPECT_FALSE(d.unitAttentions);
    EXPECT_EQ(d.quirks, 0u);
    // Lists register each member, in ascending order; the first holds the reservation.
    const SetupDevice& list = parsed.Device(9);
    EXPECT_TRUE(list.unitAttentions);
    EXPECT_EQ(list.quirks, kQuirkNoPreemptAbort | kQuirkGenerationStuck | kQuirkAllRegistrantsOpen);
    EXPECT_EQ(list.holderNumber, 1);
    EXPECT_EQ(list.registrationCount, 5);
    for (const auto& [registration, order] :
         {std::pair{list.pathKeys[1], 1}, std::pair{list.pathKeys[3], 2},
          std::pair{list.foreignKeys[2], 3}, std::pair{list.foreignKeys[6], 5}}) {
        EXPECT_TRUE(registration.present);
        EXPECT_EQ(registration.order, order);
    }

    EXPECT_TRUE(Parsed("").Result().Ok());
    EXPECT_EQ(Parsed("# nothing\n\n   \n").DeviceCount(), 0);
}

TEST(SetupErrors, NameTheFirstFaultyLine) {
    const std::string d = "device 1 paths 0,1\n";  // line 1 of the cases that fail on line 2
    const std::string k = " key 54455353414C5931";
    const std::vector<std::tuple<std::string, SetupError, std::uint32_t>> cases = {
        {"disk 1 paths 0\n", SetupError::UnknownWord, 1},
        {"\n\ndevice 1\n", SetupError::MissingWord, 3},
        {"device -1 paths 0\n", SetupError::BadNumber, 1},
        {"device 101 paths 0\n", SetupError::DeviceOutOfRange, 1},
        {"device 4294967296 paths 0\n", SetupError::DeviceOutOfRange, 1},  // no wrap to 0
        {"device 1 paths 0-33\n", SetupError::PathOutOfRange, 1},
        {"device 1 paths 0,,1\n", SetupError::BadPathList, 1},
        {"device 1 paths 0,1,\n", SetupError::BadPathList, 1},
        {"device 1 paths 3-1\n", SetupError::BadPathList, 1},
        {"device 1 paths 0;1\n", SetupError::BadNumber, 1},
        {"device 1 paths 0-2,2\n", SetupError::DuplicatePath, 1},
        {"device 1 paths 0 1\n", SetupError::UnknownWord, 1},
        {"device 1 paths 0 unit-attentions 1\n", SetupError::TrailingText, 1},
        {d + "device 1 path 0-2" + k, SetupError::UnknownPath, 2},
        {d + "device 1 foreign 6-8" + k, SetupError::ForeignOutOfRange, 2},
        {d + "device 1 foreign 2,2" + k, SetupError::DuplicatePath, 2},
        {d + "device 1 foreign 1" + k + "\ndevice 1 foreign 0-1" + k,
         SetupError::DuplicateRegistration, 3},
        {d + "device 1 paths 2\n", SetupError::DuplicateDevice, 2},
        {"device 1 foreign 0" + k, SetupError::UndeclaredDevice, 1},
        {d + "device 1 path 2" + k, SetupError::UnknownPath, 2},
        {d + "device 1 foreign 8" + k, SetupError::ForeignOutOfRange, 2},
        {d + "device 1 host 0" + k, SetupError::UnknownWord, 2},
        {d + "device 1 foreign 0 key 54455353414C593\n", SetupError::BadKey, 2},
        {d + "device 1 foreign 0 key 54455353414C59G1\n", SetupError::BadKey, 2},
        {d + "device 1 foreign 0 key \"TESSALY12\"\n", SetupError::BadKey, 2},
        {d + "device 1 foreign 0 key \"TESSALY1\"x\n", SetupError::BadKey, 2},
        {d + "device 1 foreign 0 key \"TESSALY1\n", SetupError::UnterminatedQuote, 2},
        {d + "device 1 foreign 0 key 0000000000000000\n", SetupError::ZeroKey, 2},
        {d + "device 1 foreign 0" + k + " reserve 2\n", SetupError::BadReservationType, 2},
        {d + "device 1 foreign 0" + k + " reserve 99999999999\n", SetupError::BadReservationType,
         2},
        {d + "device 1 foreign 0" + k + " reserve 6 now\n", SetupError::TrailingText, 2},
        {d + "device 1 foreign 0" + k + "\ndevice 1 foreign 0 key 0102030405060708\n",
         SetupError::DuplicateRegistration, 3},
        {d + "device 1 path 0" + k + " reserve 6\ndevice 1 foreign 0" + k + " reserve 6\n",
         SetupError::SecondHolder, 3},
        {d + "device 1 quirk generation-stuck stuck-generation\n", SetupError::UnknownQuirk, 2},
        {d + "device 1 quirk \"generation-stuck\"\n", SetupError::UnknownQuirk, 2},
        {d + "device 1 quirk # none\n", SetupError::MissingWord, 2},
        {d + "device 1 quirk generation-stuck GENERATION-STUCK\n", SetupError::DuplicateQuirk, 2},
        {d + "device 1 quirk generation-stuck\ndevice 1 quirk no-preempt-abort generation-stuck\n",
         SetupError::DuplicateQuirk, 3},
        {"device 1 quirk generation-stuck\n" + d, SetupError::UndeclaredDevice, 1},
        {d + "device 1 \xC3\xA9 0\n", SetupError::BadCharacter, 2},
        {d + "# \x7F in a comment\n", SetupError::BadCharacter, 2},
        {d + "device 2\rpaths 0\n", SetupError::BadCharacter, 2},
        {d + std::string("device 2 paths 0\0\n", 18), SetupError::BadCharacter, 2},
        {"latency\n", SetupError::MissingWord, 1},
        {"latency -1\n", SetupError::BadNumber, 1},
        {"latency 60001\n", SetupError::LatencyOutOfRange, 1},
        {"latency 5 ms\n", SetupError::TrailingText, 1},
        {"latency 5\n" + d + "latency 5\n", SetupError::DuplicateLatency, 3},
        {"device 1 latency 5\n" + d, SetupError::UndeclaredDevice, 1},
        {d + "device 1 latency 1\ndevice 1 latency 1\n", SetupError::DuplicateLatency, 3},
        {d + "device 1 foreign 0 initiator iqn.x:Node isid 023d00000001\n",
         SetupError::BadInitiatorName, 2},
        {d + "device 1 foreign 0 initiator " + std::string(64, 'a') + " isid 023d00000001\n",
         SetupError::BadInitiatorName, 2},
        {d + "device 1 foreign 0 initiator iqn.x:n isid 023d0000001\n", SetupError::BadIsid, 2},
        {d + "device 1 foreign 0-1 initiator iqn.x:n isid 023d00000001\n", SetupError::BadPathList,
         2},
        {d + "device 1 foreign 0 initiator iqn.x:n id 023d00000001\n", SetupError::UnknownWord, 2},
        {d + "device 1 foreign 0 initiator iqn.x:n isid 023d00000001\n" +
             "device 1 foreign 0 initiator iqn.x:m isid 023d00000002\n",
         SetupError::DuplicatePort, 3},
        {"device 1 foreign 0 initiator iqn.x:n isid 023d00000001\n", SetupError::UndeclaredDevice,
         1},
        {d + "device 1 ptpl-capable\ndevice 1 PTPL-CAPABLE\n", SetupError::DuplicatePort, 3},
        {d + "device 1 ptpl-capable yes\n", SetupError::TrailingText, 2},
    };
    for (const auto& [text, error, line] : cases) {
        const Parsed parsed(text);
        EXPECT_EQ(parsed.Result().error, error) << text;
        EXPECT_EQ(parsed.Result().line, line) << text;
        EXPECT_EQ(parsed.DeviceCount(), 0) << "a failed parse keeps nothing: " << text;
    }
}

TEST(SetupStatements, LatencyOfEachDiskItsOwnElseTheDefault) {
    const Parsed parsed(
        "device 1 paths 0\ndevice 2 paths 0\nLATENCY 10\ndevice 2 latency 0\n"
        "device 3 paths 0\ndevice 3 Latency 60000  # the longest\n");
    ASSERT_TRUE(parsed.Result().Ok()) << SetupErrorText(parsed.Result().error);
    for (const auto& [device, latency] :
         {std::pair{1u, 10u}, std::pair{2u, 0u}, std::pair{3u, 60000u}, std::pair{4u, 0u},
          std::pair{101u, 0u}}) {
        EXPECT_EQ(parsed.Latency(device), latency) << device;
    }
    EXPECT_EQ(Parsed("device 1 paths 0").Latency(1), 0u) << "no latency line";
    // A later parse keeps none of an earlier one's latencies.
    auto setup = std::make_unique<DiskSetup>();
    ASSERT_TRUE(ParseSetup("latency 7\ndevice 1 paths 0", 26, *setup).Ok());
    EXPECT_EQ(SetupLatency(*setup, 1), 7u);
    ASSERT_TRUE(ParseSetup("device 1 paths 0", 16, *setup).Ok());
    EXPECT_EQ(SetupLatency(*setup, 1), 0u);
}

TEST(SetupErrors, ParsingOverAnEarlierSetupKeepsNothingOfIt) {
    auto setup = std::make_unique<DiskSetup>();
    ASSERT_TRUE(ParseSetup(kDefaultSetupText, kDefaultSetupLength, *setup).Ok());
    const std::string small = "device 9 paths 0\n";
    ASSERT_TRUE(ParseSetup(small.data(), small.size(), *setup).Ok());
    EXPECT_FALSE(setup->devices[0].present);
    EXPECT_FALSE(setup->devices[0].foreignKeys[0].present);
    EXPECT_EQ(setup->devices[2].holder, SetupHolder::None);
    EXPECT_TRUE(setup->devices[9].present);
}

TEST(SetupHostileInput, CutTextsHugeLinesAndRandomBytes) {
    // Every prefix of a valid text: ends inside a number, a key, a quote, after a CR.
    const std::string full =
        "device 1 paths 0-2\r\ndevice 1 foreign 0 key \"TESSALY1\" reserve 6 # x\r\n"
        "device 1 path 2 key 54455353414C5931\r\n";
    for (std::size_t n = 0; n <= full.size(); ++n) {
        EXPECT_LE(Parsed(full.substr(0, n)).Result().line, 3u);
    }

    const std::string digits(1 << 20, '9');
    EXPECT_EQ(Parsed("device " + digits + " paths 0").Result().error, SetupError::DeviceOutOfRange);
    EXPECT_EQ(Parsed("device 1 paths 0-" + digits).Result().error, SetupError::PathOutOfRange);
    const Parsed zeros("device " + std::string(1 << 20, '0') + "7 paths 3");
    EXPECT_EQ(zeros.Device(7).paths, Paths({3}));
    EXPECT_EQ(Parsed("device 1 paths 0\ndevice 1 foreign 0 key \"" + std::string(1 << 20, 'k'))
                  .Result()
                  .error,
              SetupError::UnterminatedQuote);

    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        std::string text(random() % 300, '\0');
        for (char& c : text) {
            c = static_cast<char>(random());
        }
        Parsed parsed(text);
    }
    // Small edits of the default text, with the characters the grammar cares about.
    const char alphabet[] = "0123456789,-\"# \t\r\nadeFkprsvy\x80\xff";
    for (int round = 0; round < 1500; ++round) {
        std::string text = kDefaultSetupText;
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0 && !text.empty(); --edits) {
            const std::size_t at = random() % text.size();
            const char c = alphabet[random() % (sizeof(alphabet) - 1)];
            switch (random() % 3) {
                case 0:
                    text[at] = c;
                    break;
                case 1:
                    text.insert(at, 1, c);
                    break;
                default:
                    text.erase(at, 1 + random() % 8);
                    break;
            }
        }
        const Parsed parsed(text);
        EXPECT_LE(parsed.Result().line, 1 + std::count(text.begin(), text.end(), '\n'));
    }
}

}  // namespace
}  // namespace vlksim
