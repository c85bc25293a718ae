// Whatever bytes and lengths the control call gets, the model stays inside its buffers (the
// sanitizer build checks every access) and answers within its rules.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/Commands.h"
#include "sim/model/DiskModel.h"

namespace vlksim {
namespace {

std::uint32_t Le32(const std::uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// A request that passes the driver's shape checks most of the time, with random commands,
// keys, lengths and numbers, so that the SCSI layer beneath gets exercised as well.
std::vector<std::uint8_t> PlausibleRequest(std::mt19937& random) {
    const auto command = static_cast<tessaly::Command>(random() % 5);
    tessaly::CurrentKey key;
    tessaly::PassThroughRequest request =
        tessaly::BuildCommandRequest(command, random() % 4, random() % 4, key);
    std::vector<std::uint8_t> bytes(request.Bytes(), request.Bytes() + 616);
    const std::size_t tweaks = random() % 6;
    for (std::size_t i = 0; i < tweaks; ++i) {
        // Mostly the command block, the lengths and the parameter list.
        static constexpr std::size_t kHot[] = {14, 15, 16, 20,  21,  44,  45,  46, 49,
                                               50, 51, 52, 100, 107, 108, 115, 120};
        const std::size_t at = random() % 3 == 0 ? random() % 616 : kHot[random() % 17];
        bytes[at] = static_cast<std::uint8_t>(random());
    }
    if (random() % 3 == 0) {
        // A key some nexus holds.
        bytes[107] = 0x01;
    }
    if (random() % 2 == 0) {
        // Any service action, PREEMPT and READ FULL STATUS among them, on a key some nexus holds
        // and, for data-in, on the whole data area.
        bytes[45] = static_cast<std::uint8_t>(random() % 8);
        bytes[115] = static_cast<std::uint8_t>(random() % 3);
        if (bytes[16] == 1 && random() % 2 == 0) {
            bytes[21] = 0x02;
            bytes[51] = static_cast<std::uint8_t>(random() % 3);
        }
    }
    return bytes;
}

TEST(Robustness, RandomRequestsStayInsideTheirBuffers) {
    std::mt19937 random(20261208);
    DiskModel model;
    for (std::uint32_t device = 0; device < 3; ++device) {
        ASSERT_TRUE(model.AddDevice(device));
        for (std::uint32_t path = 0; path < 3; ++path) {
            ASSERT_TRUE(model.AddPath(device, path));
        }
        const std::uint8_t key[8] = {0, 0, 0, 0, 0, 0, 0, 1};
        const std::uint8_t other[8] = {0, 0, 0, 0, 0, 0, 0, 2};
        ASSERT_TRUE(model.AddForeignRegistration(device, 2, key));
        ASSERT_TRUE(model.AddForeignRegistration(device, 3, other));
        ASSERT_TRUE(model.AddPathRegistration(device, 1, key));
        ASSERT_TRUE(
            model.ReserveForeign(device, 3, static_cast<std::uint8_t>(device == 2 ? 7 : 6)));
        ASSERT_TRUE(model.SetUnitAttentions(device, device != 0));
    }
    std::size_t succeeded = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> input;
        switch (random() % 3) {
            case 0:
                input.resize(random() % 700);
                for (auto& b : input)
                    b = static_cast<std::uint8_t>(random());
                break;
            default:
                input = PlausibleRequest(random);
                break;
        }
        const std::uint32_t inputLength = random() % 8 == 0
                                              ? static_cast<std::uint32_t>(random() % 700)
                                              : static_cast<std::uint32_t>(input.size());
        if (inputLength > input.size()) {
            input.resize(inputLength, 0);
        }
        // Exactly sized heap blocks, so that any access past them is caught.
        std::vector<std::uint8_t> exactInput(input.begin(), input.begin() + inputLength);
        const std::uint32_t outputLength = random() % 4 == 0
                                               ? static_cast<std::uint32_t>(random() % 700)
                                           : random() % 3 == 0 ? 608
                                                               : 152;
        const std::uint8_t fill = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> output(outputLength, fill);
        std::uint32_t returned = 0xFFFFFFFF;
        const bool aliased = random() % 2 == 0 && outputLength <= inputLength;
        std::uint8_t* out = aliased ? exactInput.data() : output.data();
        const std::vector<std::uint8_t> snapshot = exactInput;
        const std::int32_t status =
            model.PassThrough(random() % 50 == 0 ? random() : kPassThroughCode,
                              exactInput.empty() ? nullptr : exactInput.data(), inputLength,
                              outputLength == 0 ? nullptr : out, outputLength, &returned);
        if (status != kStatusSuccess) {
            EXPECT_TRUE(status == kStatusInvalidParameter ||
                        status == kStatusInvalidDeviceRequest || status == kStatusNoSuchDevice);
            EXPECT_EQ(returned, 0xFFFFFFFFu);
            EXPECT_EQ(exactInput, snapshot);
            if (!aliased) {
                EXPECT_EQ(output, std::vector<std::uint8_t>(outputLength, fill));
            }
            continue;
        }
        ++succeeded;
        ASSERT_EQ(inputLength, kRequestSize);
        ASSERT_LE(returned, outputLength);
        ASSERT_GE(returned, 92u);
        const std::uint8_t* reply = aliased ? exactInput.data() : output.data();
        const std::uint8_t status8 = reply[2];
        EXPECT_TRUE(status8 == kScsiGood || status8 == kScsiCheckCondition ||
                    status8 == kScsiReservationConflict);
        const std::uint32_t transferred = Le32(reply + 12);
        EXPECT_LE(transferred, Le32(snapshot.data() + 20));
        if (snapshot[16] == 1) {
            EXPECT_LE(92 + transferred, returned);
        }
        // Past what the call returned, the output holds what it held before.
        for (std::uint32_t i = returned; i < outputLength; ++i) {
            ASSERT_EQ(reply[i], aliased ? snapshot[i] : fill) << i;
        }
        // Device and path number are outside the output area of the program's layout.
        if (!aliased) {
            EXPECT_EQ(std::memcmp(exactInput.data(), snapshot.data(), 616), 0);
        }
    }
    // The generator must reach the SCSI layer, not only the shape checks.
    EXPECT_GT(succeeded, 3000u);
}

TEST(Robustness, RandomCommandBlocksAtTheScsiLayer) {
    std::mt19937 random(7);
    DiskModel model;
    ASSERT_TRUE(model.AddDevice(0));
    ASSERT_TRUE(model.AddPath(0, 0));
    ASSERT_TRUE(model.SetUnitAttentions(0, true));
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t cdbLength = random() % 17;
        std::vector<std::uint8_t> cdb(cdbLength);
        for (auto& b : cdb)
            b = static_cast<std::uint8_t>(random());
        if (cdbLength > 0 && random() % 2 == 0) {
            cdb[0] = random() % 2 == 0 ? 0x5E : 0x5F;
        }
        if (cdbLength > 1 && random() % 2 == 0) {
            cdb[1] &= 0x07;
        }
        std::vector<std::uint8_t> dataOut(random() % 40);
        for (auto& b : dataOut)
            b = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : 0);
        std::vector<std::uint8_t> dataIn(random() % 600, 0xAB);
        const DiskModel::Nexus nexus{random() % 2 == 0, static_cast<std::uint32_t>(random() % 10)};
        const auto outcome = model.Execute(
            random() % 3, nexus, cdb.empty() ? nullptr : cdb.data(), cdbLength,
            dataOut.empty() ? nullptr : dataOut.data(), static_cast<std::uint32_t>(dataOut.size()),
            dataIn.empty() ? nullptr : dataIn.data(), static_cast<std::uint32_t>(dataIn.size()));
        ASSERT_LE(outcome.dataInLength, dataIn.size());
        ASSERT_LE(outcome.dataOutLength, dataOut.size());
        if (outcome.status == kScsiCheckCondition) {
            ASSERT_EQ(outcome.senseLength, 18u);
        } else {
            ASSERT_EQ(outcome.senseLength, 0u);
        }
    }
}

}  // namespace
}  // namespace vlksim
