#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"

namespace vlksim {
namespace {

using Key = std::array<std::uint8_t, kSetupKeySize>;
constexpr Key kTessaly = {0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31};
constexpr Key kNodeB01 = {'N', 'O', 'D', 'E', '-', 'B', '0', '1'};

Key KeyOf(const SetupRegistration& registration) {
    Key key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = registration.key[i];
    }
    return key;
}

// Parses from a heap block of exactly the text's size, so that a read past the end is caught by
// AddressSanitizer.
class Parsed {
  public:
    explicit Parsed(const std::string& text) : setup_(std::make_unique<DiskSetup>()) {
        auto copy = std::make_unique<char[]>(text.size() == 0 ? 1 : text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            copy[i] = text[i];
        }
        result_ = ParseSetup(copy.get(), text.size(), *setup_);
    }
    const SetupParseResult& Result() const { return result_; }
    const SetupDevice& Device(std::uint32_t n) const { return setup_->devices[n]; }
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

std::uint64_t Paths(std::initializer_list<int> paths) {
    std::uint64_t mask = 0;
    for (int p : paths) {
        mask |= std::uint64_t{1} << p;
    }
    return mask;
}

TEST(DefaultSetup, DescribesTheDisksItsCommentsName) {
    const Parsed parsed(kDefaultSetupText);
    ASSERT_TRUE(parsed.Result().Ok())
        << "line " << parsed.Result().line << ": " << SetupErrorText(parsed.Result().error);
    EXPECT_EQ(parsed.DeviceCount(), 5);
    EXPECT_FALSE(parsed.Device(3).present);
    EXPECT_EQ(parsed.Device(0).paths, Paths({0, 1}));
    EXPECT_EQ(parsed.Device(1).paths, Paths({0, 1, 2, 3}));
    EXPECT_EQ(parsed.Device(2).paths, Paths({0, 1, 2}));
    EXPECT_EQ(parsed.Device(4).paths, Paths({0, 1}));
    EXPECT_EQ(parsed.Device(5).paths, Paths({0, 1, 2}));

    // Held under the program's own key by another host.
    for (std::uint32_t n : {0u, 1u, 5u}) {
        const SetupDevice& device = parsed.Device(n);
        EXPECT_EQ(device.holder, SetupHolder::Foreign) << n;
        EXPECT_EQ(device.reservationType, 6) << n;
        ASSERT_TRUE(device.foreignKeys[device.holderNumber].present) << n;
        EXPECT_EQ(KeyOf(device.foreignKeys[device.holderNumber]), kTessaly) << n;
    }
    // Held under another host's own key.
    EXPECT_EQ(parsed.Device(2).holder, SetupHolder::Foreign);
    EXPECT_EQ(parsed.Device(2).holderNumber, 3);
    EXPECT_EQ(KeyOf(parsed.Device(2).foreignKeys[3]), kNodeB01);
    EXPECT_TRUE(parsed.Device(2).pathKeys[1].present);
    EXPECT_EQ(KeyOf(parsed.Device(2).pathKeys[1]), kTessaly);
    // Free.
    EXPECT_EQ(parsed.Device(4).holder, SetupHolder::None);
    for (const auto& registration : parsed.Device(4).pathKeys) {
        EXPECT_FALSE(registration.present);
    }
    for (const auto& registration : parsed.Device(4).foreignKeys) {
        EXPECT_FALSE(registration.present);
    }
}

TEST(SetupStatements, PathListsRangesAndLimits) {
    const Parsed parsed(
        "device 0 paths 0,2-4,7\n"
        "device 100 paths 32\n"
        "device 7 paths 0-32\n"
        "device 8 paths 5-5\n");
    ASSERT_TRUE(parsed.Result().Ok());
    EXPECT_EQ(parsed.Device(0).paths, Paths({0, 2, 3, 4, 7}));
    EXPECT_EQ(parsed.Device(100).paths, std::uint64_t{1} << 32);
    EXPECT_EQ(parsed.Device(7).paths, (std::uint64_t{1} << 33) - 1);
    EXPECT_EQ(parsed.Device(8).paths, Paths({5}));
}

TEST(SetupStatements, KeysKeepTheirByteOrderInBothForms) {
    const Parsed parsed(
        "device 1 paths 0,1\n"
        "device 1 path 1 key 0102030405060708 reserve 1\n"
        "device 1 foreign 7 key a1b2C3d4E5f60718\n");
    ASSERT_TRUE(parsed.Result().Ok()) << static_cast<int>(parsed.Result().error);
    EXPECT_EQ(KeyOf(parsed.Device(1).pathKeys[1]), (Key{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(KeyOf(parsed.Device(1).foreignKeys[7]),
              (Key{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18}));
    EXPECT_EQ(parsed.Device(1).holder, SetupHolder::Path);
    EXPECT_EQ(parsed.Device(1).holderNumber, 1);
    EXPECT_EQ(parsed.Device(1).reservationType, 1);
    EXPECT_FALSE(parsed.Device(1).pathKeys[0].present);
    // In the order of their lines.
    EXPECT_EQ(parsed.Device(1).registrationCount, 2);
    EXPECT_EQ(parsed.Device(1).pathKeys[1].order, 1);
    EXPECT_EQ(parsed.Device(1).foreignKeys[7].order, 2);
}

TEST(SetupStatements, QuotedKeyMayHoldHashAndBlanks) {
    const Parsed parsed("device 1 paths 0\ndevice 1 foreign 0 key \"A#B C D1\" # comment\n");
    ASSERT_TRUE(parsed.Result().Ok()) << SetupErrorText(parsed.Result().error);
    EXPECT_EQ(KeyOf(parsed.Device(1).foreignKeys[0]),
              (Key{'A', '#', 'B', ' ', 'C', ' ', 'D', '1'}));
}

TEST(SetupStatements, LayoutFreedoms) {
    // Keywords in any case, tabs, comments, CRLF line ends, blank lines, no final line end.
    const Parsed parsed(
        "\r\n# comment\r\n\t DEVICE\t3 Paths 1,2  # two paths\r\n\n"
        "Device 3 FOREIGN 5 KEY 54455353414C5931 Reserve 8");
    ASSERT_TRUE(parsed.Result().Ok()) << SetupErrorText(parsed.Result().error);
    EXPECT_EQ(parsed.Device(3).paths, Paths({1, 2}));
    EXPECT_EQ(parsed.Device(3).holder, SetupHolder::Foreign);
    EXPECT_EQ(parsed.Device(3).holderNumber, 5);
    EXPECT_EQ(parsed.Device(3).reservationType, 8);
}

TEST(SetupStatements, EmptyTextHasNoDisks) {
    EXPECT_TRUE(Parsed("").Result().Ok());
    EXPECT_EQ(Parsed("").DeviceCount(), 0);
    EXPECT_EQ(Parsed("# nothing\n\n   \n").DeviceCount(), 0);
}

struct ErrorCase {
    const char* text;
    SetupError error;
    std::uint32_t line;
};

TEST(SetupErrors, NameTheFirstFaultyLine) {
    const std::string d = "device 1 paths 0,1\n";  // line 1 of most cases
    const std::vector<std::pair<std::string, ErrorCase>> cases = {
        {"disk 1 paths 0\n", {nullptr, SetupError::UnknownWord, 1}},
        {"\n\ndevice\n", {nullptr, SetupError::MissingWord, 3}},
        {"device 1\n", {nullptr, SetupError::MissingWord, 1}},
        {"device 1 paths\n", {nullptr, SetupError::MissingWord, 1}},
        {"device x paths 0\n", {nullptr, SetupError::BadNumber, 1}},
        {"device -1 paths 0\n", {nullptr, SetupError::BadNumber, 1}},
        {"device +1 paths 0\n", {nullptr, SetupError::BadNumber, 1}},
        {"device 101 paths 0\n", {nullptr, SetupError::DeviceOutOfRange, 1}},
        {"device 4294967296 paths 0\n", {nullptr, SetupError::DeviceOutOfRange, 1}},
        {"device 1 paths 33\n", {nullptr, SetupError::PathOutOfRange, 1}},
        {"device 1 paths 0-33\n", {nullptr, SetupError::PathOutOfRange, 1}},
        {"device 1 paths 0,,1\n", {nullptr, SetupError::BadPathList, 1}},
        {"device 1 paths 0,1,\n", {nullptr, SetupError::BadPathList, 1}},
        {"device 1 paths 3-1\n", {nullptr, SetupError::BadPathList, 1}},
        {"device 1 paths 1-\n", {nullptr, SetupError::BadPathList, 1}},
        {"device 1 paths 0;1\n", {nullptr, SetupError::BadNumber, 1}},
        {"device 1 paths 0,1,0\n", {nullptr, SetupError::DuplicatePath, 1}},
        {"device 1 paths 0-2,2\n", {nullptr, SetupError::DuplicatePath, 1}},
        {"device 1 paths 0 1\n", {nullptr, SetupError::TrailingText, 1}},
        {d + "device 1 paths 2\n", {nullptr, SetupError::DuplicateDevice, 2}},
        {"device 1 foreign 0 key 54455353414C5931\n", {nullptr, SetupError::UndeclaredDevice, 1}},
        {d + "device 1 path 2 key 54455353414C5931\n", {nullptr, SetupError::UnknownPath, 2}},
        {d + "device 1 path 33 key 54455353414C5931\n", {nullptr, SetupError::PathOutOfRange, 2}},
        {d + "device 1 foreign 8 key 54455353414C5931\n",
         {nullptr, SetupError::ForeignOutOfRange, 2}},
        {d + "device 1 host 0 key 54455353414C5931\n", {nullptr, SetupError::UnknownWord, 2}},
        {d + "device 1 foreign 0 kye 54455353414C5931\n", {nullptr, SetupError::UnknownWord, 2}},
        {d + "device 1 foreign 0 key\n", {nullptr, SetupError::MissingWord, 2}},
        {d + "device 1 foreign 0 key 54455353414C593\n", {nullptr, SetupError::BadKey, 2}},
        {d + "device 1 foreign 0 key 54455353414C59311\n", {nullptr, SetupError::BadKey, 2}},
        {d + "device 1 foreign 0 key 54455353414C59G1\n", {nullptr, SetupError::BadKey, 2}},
        {d + "device 1 foreign 0 key \"TESSALY\"\n", {nullptr, SetupError::BadKey, 2}},
        {d + "device 1 foreign 0 key \"TESSALY12\"\n", {nullptr, SetupError::BadKey, 2}},
        {d + "device 1 foreign 0 key \"TESSALY1\"x\n", {nullptr, SetupError::BadKey, 2}},
        {d + "device 1 foreign 0 key \"TESSALY1\n", {nullptr, SetupError::UnterminatedQuote, 2}},
        {d + "device 1 foreign 0 key 0000000000000000\n", {nullptr, SetupError::ZeroKey, 2}},
        {d + "device 1 foreign 0 key 54455353414C5931 reserve\n",
         {nullptr, SetupError::MissingWord, 2}},
        {d + "device 1 foreign 0 key 54455353414C5931 reserve 2\n",
         {nullptr, SetupError::BadReservationType, 2}},
        {d + "device 1 foreign 0 key 54455353414C5931 reserve 0\n",
         {nullptr, SetupError::BadReservationType, 2}},
        {d + "device 1 foreign 0 key 54455353414C5931 reserve 99999999999\n",
         {nullptr, SetupError::BadReservationType, 2}},
        {d + "device 1 foreign 0 key 54455353414C5931 hold 6\n",
         {nullptr, SetupError::UnknownWord, 2}},
        {d + "device 1 foreign 0 key 54455353414C5931 reserve 6 now\n",
         {nullptr, SetupError::TrailingText, 2}},
        {d + "device 1 foreign 0 key 54455353414C5931\ndevice 1 foreign 0 key 0102030405060708\n",
         {nullptr, SetupError::DuplicateRegistration, 3}},
        {d + "device 1 path 0 key 54455353414C5931 reserve 6\n"
             "device 1 foreign 0 key 0102030405060708 reserve 6\n",
         {nullptr, SetupError::SecondHolder, 3}},
        {d + "device 1 paths\x01 0\n", {nullptr, SetupError::BadCharacter, 2}},
        {d + "device 1 \xC3\xA9 0\n", {nullptr, SetupError::BadCharacter, 2}},
        {d + "# \x7F in a comment is still not text\n", {nullptr, SetupError::BadCharacter, 2}},
        {d + "device 2 paths 0\r\r\n", {nullptr, SetupError::BadCharacter, 2}},
        {d + "device 2\rpaths 0\n", {nullptr, SetupError::BadCharacter, 2}},
        {d + std::string("device 2 paths 0\0\n", 18), {nullptr, SetupError::BadCharacter, 2}},
    };
    for (const auto& [text, expected] : cases) {
        const Parsed parsed(text);
        EXPECT_EQ(parsed.Result().error, expected.error) << text;
        EXPECT_EQ(parsed.Result().line, expected.line) << text;
        EXPECT_EQ(parsed.DeviceCount(), 0) << "a failed parse keeps nothing: " << text;
    }
}

TEST(SetupErrors, FailureWipesAnEarlierSetupInTheSameObject) {
    auto setup = std::make_unique<DiskSetup>();
    ASSERT_TRUE(ParseSetup(kDefaultSetupText, kDefaultSetupLength, *setup).Ok());
    const std::string bad = "device 9 paths 0\ndevice 9 paths 1\n";
    const auto result = ParseSetup(bad.data(), bad.size(), *setup);
    EXPECT_FALSE(result.Ok());
    for (const auto& device : setup->devices) {
        EXPECT_FALSE(device.present);
        EXPECT_EQ(device.holder, SetupHolder::None);
        EXPECT_EQ(device.paths, 0u);
    }
    // And a good parse over the default keeps nothing of it.
    ASSERT_TRUE(ParseSetup(kDefaultSetupText, kDefaultSetupLength, *setup).Ok());
    const std::string small = "device 9 paths 0\n";
    ASSERT_TRUE(ParseSetup(small.data(), small.size(), *setup).Ok());
    EXPECT_FALSE(setup->devices[0].present);
    EXPECT_FALSE(setup->devices[0].foreignKeys[0].present);
    EXPECT_TRUE(setup->devices[9].present);
}

TEST(SetupErrors, ErrorTextsExistForEveryError) {
    for (int e = 0; e <= static_cast<int>(SetupError::SecondHolder); ++e) {
        const std::string text = SetupErrorText(static_cast<SetupError>(e));
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text, "unknown error") << e;
    }
}

TEST(SetupHostileInput, TextsThatEndInTheMiddleOfAWord) {
    // Each prefix of a valid text ends somewhere: inside a number, a key, a quote, after a CR.
    const std::string full =
        "device 1 paths 0-2\r\ndevice 1 foreign 0 key \"TESSALY1\" reserve 6 # x\r\n"
        "device 1 path 2 key 54455353414C5931\r\n";
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const Parsed parsed(full.substr(0, n));
        EXPECT_LE(parsed.Result().line, 3u);
    }
    EXPECT_TRUE(Parsed(full).Result().Ok());
}

TEST(SetupHostileInput, VeryLongLinesAndNumbers) {
    const std::string digits(1 << 20, '9');
    EXPECT_EQ(Parsed("device " + digits + " paths 0").Result().error, SetupError::DeviceOutOfRange);
    EXPECT_EQ(Parsed("device 1 paths " + digits).Result().error, SetupError::PathOutOfRange);
    EXPECT_EQ(Parsed("device 1 paths 0\ndevice 1 foreign 0 key 54455353414C5931 reserve " + digits)
                  .Result()
                  .error,
              SetupError::BadReservationType);
    const std::string zeros(1 << 20, '0');
    const Parsed leadingZeros("device " + zeros + "7 paths " + zeros + "3");
    ASSERT_TRUE(leadingZeros.Result().Ok());
    EXPECT_EQ(leadingZeros.Device(7).paths, Paths({3}));
    EXPECT_TRUE(Parsed("#" + std::string(1 << 20, 'x')).Result().Ok());
    EXPECT_EQ(Parsed("device 1 paths 0 " + std::string(1 << 20, ' ') + "x").Result().error,
              SetupError::TrailingText);
    EXPECT_EQ(Parsed("device 1 paths 0\ndevice 1 foreign 0 key \"" + std::string(1 << 20, 'k'))
                  .Result()
                  .error,
              SetupError::UnterminatedQuote);
}

TEST(SetupHostileInput, RandomBytesAndMutationsStayInsideTheText) {
    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        std::string text(random() % 300, '\0');
        for (char& c : text) {
            c = static_cast<char>(random());
        }
        const Parsed parsed(text);
        if (!parsed.Result().Ok()) {
            EXPECT_GE(parsed.Result().line, 1u);
        }
    }
    const std::string base = kDefaultSetupText;
    const char alphabet[] = "0123456789,-\"# \t\r\nadeFkprsvy\x80\xff";
    for (int round = 0; round < 1500; ++round) {
        std::string text = base;
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
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
            if (text.empty()) {
                text = "x";
            }
        }
        const Parsed parsed(text);
        std::uint32_t lines = 1;
        for (char c : text) {
            lines += c == '\n' ? 1 : 0;
        }
        EXPECT_LE(parsed.Result().line, lines);
    }
}

}  // namespace
}  // namespace vlksim
