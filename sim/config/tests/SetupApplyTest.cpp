// A parsed set-up loaded into the disk model: what the disks then answer.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"
#include "sim/config/SetupApply.h"
#include "sim/model/DiskModel.h"

namespace vlksim {
namespace {

using Key = std::array<std::uint8_t, 8>;
constexpr Key kTessaly = {0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31};
constexpr Key kNodeB01 = {'N', 'O', 'D', 'E', '-', 'B', '0', '1'};

class Loaded {
  public:
    explicit Loaded(const std::string& text)
        : setup_(std::make_unique<DiskSetup>()), model_(std::make_unique<DiskModel>()) {
        parsed_ = ParseSetup(text.data(), text.size(), *setup_).Ok();
        applied_ = parsed_ && ApplySetup(*setup_, *model_);
    }
    bool Ok() const { return parsed_ && applied_; }
    DiskModel& Model() { return *model_; }
    DiskSetup& Setup() { return *setup_; }

    // PERSISTENT RESERVE IN with room for four keys, from path 0 of the disk.
    std::vector<std::uint8_t> ReserveIn(std::uint32_t device, std::uint8_t action) {
        const std::uint8_t cdb[10] = {0x5E, action, 0, 0, 0, 0, 0, 0, 40, 0};
        std::vector<std::uint8_t> data(40, 0);
        const auto outcome = model_->Execute(device, {false, 0}, cdb, 10, nullptr, 0, data.data(),
                                             static_cast<std::uint32_t>(data.size()));
        EXPECT_EQ(outcome.status, kScsiGood);
        data.resize(outcome.dataInLength);
        return data;
    }

    std::vector<Key> Keys(std::uint32_t device) {
        const auto data = ReserveIn(device, 0x00);
        std::vector<Key> keys;
        for (std::size_t at = 8; at + 8 <= data.size(); at += 8) {
            Key key{};
            std::copy(data.begin() + static_cast<std::ptrdiff_t>(at),
                      data.begin() + static_cast<std::ptrdiff_t>(at + 8), key.begin());
            keys.push_back(key);
        }
        return keys;
    }

    // The holder's key and the type, or nothing.
    std::pair<Key, int> Holder(std::uint32_t device) {
        const auto data = ReserveIn(device, 0x01);
        if (data.size() < 24) {
            return {Key{}, -1};
        }
        Key key{};
        std::copy(data.begin() + 8, data.begin() + 16, key.begin());
        return {key, data[21] & 0x0F};
    }

  private:
    std::unique_ptr<DiskSetup> setup_;
    std::unique_ptr<DiskModel> model_;
    bool parsed_ = false;
    bool applied_ = false;
};

TEST(SetupApply, DefaultDisksInTheModel) {
    Loaded loaded(kDefaultSetupText);
    ASSERT_TRUE(loaded.Ok());
    DiskModel& model = loaded.Model();
    for (std::uint32_t d : {0u, 1u, 2u, 4u, 5u}) {
        EXPECT_TRUE(model.HasDevice(d)) << d;
        EXPECT_EQ(model.Generation(d), 0u) << d;
    }
    EXPECT_FALSE(model.HasDevice(3));
    EXPECT_FALSE(model.HasDevice(6));
    EXPECT_TRUE(model.HasPath(1, 3));
    EXPECT_FALSE(model.HasPath(1, 4));
    EXPECT_FALSE(model.HasPath(0, 2));

    EXPECT_EQ(loaded.Holder(0), std::make_pair(kTessaly, 6));
    EXPECT_EQ(loaded.Holder(1), std::make_pair(kTessaly, 6));
    EXPECT_EQ(loaded.Holder(2), std::make_pair(kNodeB01, 6));
    EXPECT_EQ(loaded.Holder(5), std::make_pair(kTessaly, 6));
    EXPECT_EQ(loaded.Holder(4).second, -1);
    EXPECT_TRUE(loaded.Keys(4).empty());
    EXPECT_EQ(loaded.Keys(1), (std::vector<Key>{kTessaly, kTessaly}));
}

TEST(SetupApply, RegistrationsFollowTheOrderOfTheLines) {
    Loaded loaded(
        "device 2 paths 0,1,2\n"
        "device 2 foreign 3 key \"NODE-B01\" reserve 6\n"
        "device 2 path 1 key 54455353414C5931\n"
        "device 2 foreign 0 key 0102030405060708\n");
    ASSERT_TRUE(loaded.Ok());
    EXPECT_EQ(loaded.Setup().devices[2].registrationCount, 3);
    EXPECT_EQ(loaded.Keys(2), (std::vector<Key>{kNodeB01, kTessaly, Key{1, 2, 3, 4, 5, 6, 7, 8}}));
}

TEST(SetupApply, ThisHostsPathCanHoldTheReservation) {
    Loaded loaded("device 9 paths 0,3\ndevice 9 path 3 key 54455353414C5931 reserve 5\n");
    ASSERT_TRUE(loaded.Ok());
    EXPECT_EQ(loaded.Holder(9), std::make_pair(kTessaly, 5));
    // Write Exclusive, Registrants Only: path 3 (registered) may write, path 0 may not.
    const std::uint8_t write[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    std::uint8_t block[512] = {};
    EXPECT_EQ(loaded.Model().Execute(9, {false, 3}, write, 10, block, 512, nullptr, 0).status,
              kScsiGood);
    EXPECT_EQ(loaded.Model().Execute(9, {false, 0}, write, 10, block, 512, nullptr, 0).status,
              kScsiReservationConflict);
}

TEST(SetupApply, LoadingReplacesWhatTheModelHeld) {
    Loaded loaded(kDefaultSetupText);
    ASSERT_TRUE(loaded.Ok());
    const std::string other = "device 7 paths 0\n";
    ASSERT_TRUE(ParseSetup(other.data(), other.size(), loaded.Setup()).Ok());
    ASSERT_TRUE(ApplySetup(loaded.Setup(), loaded.Model()));
    EXPECT_TRUE(loaded.Model().HasDevice(7));
    for (std::uint32_t d : {0u, 1u, 2u, 4u, 5u}) {
        EXPECT_FALSE(loaded.Model().HasDevice(d)) << d;
    }
}

}  // namespace
}  // namespace vlksim
