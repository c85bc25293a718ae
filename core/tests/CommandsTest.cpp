#include <gtest/gtest.h>

#include <vector>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "testing/MemoryDriverPort.h"

namespace tessaly {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Slice(const PassThroughRequest& request, std::size_t offset, std::size_t length) {
    return Bytes(request.Bytes() + offset, request.Bytes() + offset + length);
}

bool AllZero(const PassThroughRequest& request, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i <= to; ++i) {
        if (request.Bytes()[i] != 0) {
            return false;
        }
    }
    return true;
}

CurrentKey KeyFrom(const Bytes& key) {
    auto request = BuildCommandRequest(Command::ReadKeys, 0, 0, CurrentKey{});
    std::copy(key.begin(), key.end(), request.OutputArea() + 92 + 8);
    CurrentKey current;
    current.CaptureFrom(request);
    return current;
}

struct Expected {
    Command command;
    const char* listText;
    Bytes cdb;
    std::uint8_t dataIn;
};

TEST(Commands, BlocksDirectionsAndZeroAreasOfAllFive) {
    const Expected all[] = {
        {Command::ReadKeys,
         "Read Persistent Reservation Key",
         {0x5E, 0x00, 0, 0, 0, 0, 0, 0, 0x18, 0},
         1},
        {Command::ReadReservation, "Read Reservation", {0x5E, 0x01, 0, 0, 0, 0, 0, 0, 0x18, 0}, 1},
        {Command::RegisterDevice, "Register Device", {0x5F, 0x00, 0x06, 0, 0, 0, 0, 0, 0x18, 0}, 0},
        {Command::ReserveDevice, "Reserve Device", {0x5F, 0x01, 0x06, 0, 0, 0, 0, 0, 0x18, 0}, 0},
        {Command::ClearReservation,
         "Clear Reservation",
         {0x5F, 0x03, 0x06, 0, 0, 0, 0, 0, 0x18, 0},
         0},
    };
    const CurrentKey key = KeyFrom({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    for (const auto& e : all) {
        SCOPED_TRACE(e.listText);
        const auto request = BuildCommandRequest(e.command, 9, 2, key);
        EXPECT_STREQ(RowOf(e.command).listText, e.listText);
        EXPECT_EQ(Slice(request, 44, 10), e.cdb);
        EXPECT_TRUE(AllZero(request, 54, 59)) << "command block bytes 10..15";
        EXPECT_EQ(request.Bytes()[16], e.dataIn);
        EXPECT_TRUE(AllZero(request, 17, 19));
        EXPECT_TRUE(AllZero(request, 28, 31));
        EXPECT_TRUE(AllZero(request, 36, 39)) << "upper half of the data buffer offset";
        EXPECT_TRUE(AllZero(request, 60, 67));
        EXPECT_TRUE(AllZero(request, 68, 99)) << "sense area";
        EXPECT_TRUE(AllZero(request, 612, 615));
        if (e.dataIn == 1) {
            EXPECT_TRUE(AllZero(request, 100, 611)) << "data area of an IN request";
        } else {
            EXPECT_TRUE(AllZero(request, 116, 611)) << "data bytes 16..511 of an OUT request";
        }
    }
}

TEST(Commands, ParameterListsCarryTheRightKeysInTheRightFields) {
    const Bytes zeros(8, 0);
    const Bytes current = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const CurrentKey key = KeyFrom(current);

    const auto reg = BuildCommandRequest(Command::RegisterDevice, 1, 1, key);
    const auto res = BuildCommandRequest(Command::ReserveDevice, 1, 1, key);
    const auto clr = BuildCommandRequest(Command::ClearReservation, 1, 1, key);

    const Bytes fixed = Slice(reg, 108, 8);
    EXPECT_NE(fixed, zeros) << "the registration key is not zero";
    EXPECT_NE(fixed, current) << "the registration key does not follow the key read last";

    EXPECT_EQ(Slice(reg, 100, 8), zeros);
    EXPECT_EQ(Slice(res, 100, 8), fixed);
    EXPECT_EQ(Slice(res, 108, 8), zeros);
    EXPECT_EQ(Slice(clr, 100, 8), current);
    EXPECT_EQ(Slice(clr, 108, 8), current);
    for (const auto* r : {&reg, &res, &clr}) {
        EXPECT_TRUE(AllZero(*r, 116, 159)) << "data bytes 16..59 lie in the transfer but stay zero";
    }
}

TEST(Commands, ClearBeforeAnyReadSendsSixteenZeroBytes) {
    const auto clr = BuildCommandRequest(Command::ClearReservation, 4, 0, CurrentKey{});
    EXPECT_TRUE(AllZero(clr, 100, 611));
}

TEST(Commands, KeyCaptureTakesDataBytes8To15AsTheyStand) {
    auto request = BuildCommandRequest(Command::ReadKeys, 0, 0, CurrentKey{});
    std::uint8_t* data = request.OutputArea() + 92;
    for (int i = 0; i < 24; ++i) {
        data[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    CurrentKey key;
    key.CaptureFrom(request);
    EXPECT_EQ(Bytes(key.Bytes().begin(), key.Bytes().end()),
              (Bytes{0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF}));

    // A reply that leaves the data area alone (no key, or a failed call) gives zeros, replacing
    // whatever key was held before.
    const auto untouched = BuildCommandRequest(Command::ReadReservation, 0, 0, CurrentKey{});
    key.CaptureFrom(untouched);
    EXPECT_EQ(Bytes(key.Bytes().begin(), key.Bytes().end()), Bytes(8, 0));
}

// Writes a READ KEYS reply holding one key into the output area.
testing::MemoryDriverPort::ReplyWriter OneKeyReply(const Bytes& key) {
    return [key](std::uint8_t* out, std::uint32_t) {
        std::uint8_t* data = out + 92;
        data[7] = 8;
        std::copy(key.begin(), key.end(), data + 8);
    };
}

TEST(Commands, ClearSendsTheKeyOfTheMostRecentReadEvenFromAnotherDevice) {
    testing::MemoryDriverPort port;
    DeviceChannel channel(port);
    ASSERT_TRUE(channel.Open());
    OperationResult result;
    CurrentKey key;

    const Bytes device3Key = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x00, 0x00, 0x03};
    port.QueueReply(OneKeyReply(device3Key), 152);
    auto read = BuildCommandRequest(Command::ReadKeys, 3, 0, key);
    channel.Send(read, result);
    key.CaptureFrom(read);

    auto clear = BuildCommandRequest(Command::ClearReservation, 5, 0, key);
    channel.Send(clear, result);

    ASSERT_EQ(port.calls.size(), 2u);
    const Bytes& sent = port.calls[1].input;
    EXPECT_EQ(sent[0], 5);
    EXPECT_EQ(Bytes(sent.begin() + 100, sent.begin() + 108), device3Key);
    EXPECT_EQ(Bytes(sent.begin() + 108, sent.begin() + 116), device3Key);
}

TEST(Commands, FailedReadThatWritesNothingZeroesTheKey) {
    testing::MemoryDriverPort port;
    DeviceChannel channel(port);
    ASSERT_TRUE(channel.Open());
    OperationResult result;
    CurrentKey key = KeyFrom({1, 2, 3, 4, 5, 6, 7, 8});

    port.QueueFailure(31, std::nullopt);
    auto read = BuildCommandRequest(Command::ReadKeys, 0, 0, key);
    channel.Send(read, result);
    key.CaptureFrom(read);
    EXPECT_EQ(Bytes(key.Bytes().begin(), key.Bytes().end()), Bytes(8, 0));
}

}  // namespace
}  // namespace tessaly
