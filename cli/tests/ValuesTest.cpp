#include <gtest/gtest.h>

#include "cli/Values.h"

namespace tessaly::cli {
namespace {

const ReservationKey kTessaly = {0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31};

TEST(Values, KeysAsHexOrQuotedTextAndNothingAmbiguous) {
    EXPECT_EQ(ParseKey("54455353414C5931"), kTessaly);
    EXPECT_EQ(ParseKey("0x54455353414c5931"), kTessaly);
    EXPECT_EQ(ParseKey("\"TESSALY1\""), kTessaly);
    EXPECT_EQ(ParseKey("'TESSALY1'"), kTessaly);
    EXPECT_EQ(ParseKey("TESSALY1"), kTessaly) << "eight characters that cannot be hex";
    for (const char* bad : {"DEADBEEF", "0x1234", "", "'SHORT'", "\"TOO-LONG-KEY\"", "\"NODE-B01'",
                            "5445535341 4C5931", "0x54455353414C593"}) {
        EXPECT_EQ(ParseKey(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(KeyText(kTessaly), "0x54455353414C5931 \"TESSALY1\"");
    EXPECT_EQ(KeyText(ReservationKey{0, 0, 0, 0, 0, 0, 0x12, 0xAB}), "0x00000000000012AB");
}

TEST(Values, TypesByNumberOrName) {
    EXPECT_EQ(ParseType("6"), 6);
    EXPECT_EQ(ParseType("ea-ro"), 6);
    EXPECT_EQ(ParseType("We-AR"), 7);
    for (const char* bad : {"0", "2", "4", "9", "ea_ro", "6h", ""}) {
        EXPECT_EQ(ParseType(bad), std::nullopt) << bad;
    }
}

TEST(Values, DeviceListsAndTheWordAtFault) {
    EXPECT_EQ(ParseDevices("7").devices, (std::vector<std::uint32_t>{7}));
    EXPECT_EQ(ParseDevices("0-3,9,2").devices, (std::vector<std::uint32_t>{0, 1, 2, 3, 9}));
    EXPECT_EQ(ParseDevices("98-100").devices.size(), 3u);
    const std::pair<const char*, const char*> bad[] = {
        {"101", "101"}, {"5-3", "5-3"}, {"0-5,x", "x"}, {"1,,2", ""},   {"-4", "-4"},
        {"4-", "4-"},   {"", ""},       {"0x5", "0x5"}, {"1 2", "1 2"},
    };
    for (const auto& [text, word] : bad) {
        const DeviceList list = ParseDevices(text);
        EXPECT_TRUE(list.devices.empty()) << text;
        EXPECT_EQ(list.badWord, *word ? word : text) << text;
    }
}

}  // namespace
}  // namespace tessaly::cli
