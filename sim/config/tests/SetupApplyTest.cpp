// A parsed set-up loaded into the disk model.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/config/Setup.h"
#include "sim/config/SetupApply.h"
#include "sim/model/DiskModel.h"

namespace vlksim {
namespace {

TEST(SetupApply, DisksTakeRegistrationsInLineOrderAndTheHolder) {
    const std::string text =
        "device 2 paths 0,1,2\n"
        "device 2 foreign 3 key \"NODE-B01\" reserve 6\n"
        "device 2 path 1 key 54455353414C5931\n"
        "device 2 foreign 0 key 0102030405060708\n";
    auto setup = std::make_unique<DiskSetup>();
    auto model = std::make_unique<DiskModel>();
    ASSERT_TRUE(ParseSetup(text.data(), text.size(), *setup).Ok());
    ASSERT_TRUE(model->AddDevice(40));  // gone after the load
    ASSERT_TRUE(ApplySetup(*setup, *model));
    EXPECT_FALSE(model->HasDevice(40));
    EXPECT_TRUE(model->HasPath(2, 2));
    EXPECT_FALSE(model->HasPath(2, 3));
    EXPECT_EQ(model->Generation(2), 0u);

    // READ KEYS with room for four keys, READ RESERVATION: the keys in the order of the lines.
    const std::uint8_t readKeys[10] = {0x5E, 0x00, 0, 0, 0, 0, 0, 0, 40, 0};
    std::array<std::uint8_t, 40> keys{};
    const auto listed = model->Execute(2, {false, 0}, readKeys, 10, nullptr, 0, keys.data(), 40);
    ASSERT_EQ(listed.status, kScsiGood);
    EXPECT_EQ(keys[7], 24) << "three keys";
    const std::array<std::uint8_t, 24> expected = {'N',  'O',  'D',  'E',  '-',  'B',  '0',  '1',
                                                   0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31,
                                                   1,    2,    3,    4,    5,    6,    7,    8};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), keys.begin() + 8));

    const std::uint8_t readReservation[10] = {0x5E, 0x01, 0, 0, 0, 0, 0, 0, 24, 0};
    std::array<std::uint8_t, 24> holder{};
    ASSERT_EQ(
        model->Execute(2, {true, 3}, readReservation, 10, nullptr, 0, holder.data(), 24).status,
        kScsiGood);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 8, holder.begin() + 8));
    EXPECT_EQ(holder[21], 0x06);
}

TEST(SetupApply, UnitAttentionsOnlyWhereTheSetUpSwitchesThemOnAndNoQuirkTakesThemOff) {
    const std::string text =
        "device 1 paths 0,1\ndevice 1 path 0-1 key 0102030405060708\n"
        "device 2 paths 0,1 unit-attentions\ndevice 2 path 0-1 key 0102030405060708\n"
        "device 3 paths 0,1 unit-attentions\ndevice 3 path 0-1 key 0102030405060708\n"
        "device 3 quirk no-unit-attentions generation-stuck\n";
    auto setup = std::make_unique<DiskSetup>();
    auto model = std::make_unique<DiskModel>();
    ASSERT_TRUE(ParseSetup(text.data(), text.size(), *setup).Ok());
    ASSERT_TRUE(ApplySetup(*setup, *model));
    const std::uint8_t clear[10] = {0x5F, 0x03, 0, 0, 0, 0, 0, 0, 24, 0};
    const std::uint8_t list[24] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::uint8_t testUnitReady[6] = {};
    EXPECT_EQ(model->Quirks(3), kQuirkNoUnitAttentions | kQuirkGenerationStuck);
    for (std::uint32_t device : {1u, 2u, 3u}) {
        ASSERT_EQ(model->Execute(device, {false, 0}, clear, 10, list, 24, nullptr, 0).status,
                  kScsiGood);
        EXPECT_EQ(
            model->Execute(device, {false, 1}, testUnitReady, 6, nullptr, 0, nullptr, 0).status,
            device == 2 ? kScsiCheckCondition : kScsiGood);
    }
}

}  // namespace
}  // namespace vlksim
