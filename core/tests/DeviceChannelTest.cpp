#include <gtest/gtest.h>

#include <cstring>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "testing/MemoryDriverPort.h"

namespace tessaly {
namespace {

using testing::MemoryDriverPort;

TEST(DeviceChannel, OpensTheVlkControlDeviceByItsExactName) {
    MemoryDriverPort port;
    DeviceChannel channel(port);
    EXPECT_EQ(channel.Handle(), kNullHandle);
    ASSERT_TRUE(channel.Open());
    ASSERT_EQ(port.openedNames.size(), 1u);
    EXPECT_STREQ(port.openedNames[0], "\\\\.\\vlkpath");
    EXPECT_EQ(std::strlen(port.openedNames[0]), 11u);
    EXPECT_EQ(channel.OpenError(), 0u);
}

TEST(DeviceChannel, SendMakesOneCallOfTheExactShape) {
    MemoryDriverPort port;
    DeviceChannel channel(port);
    ASSERT_TRUE(channel.Open());
    OperationResult result;
    auto request = BuildCommandRequest(Command::ReadKeys, 2, 1, CurrentKey{});
    EXPECT_EQ(channel.Send(request, result), 0u);

    ASSERT_EQ(port.calls.size(), 1u);
    const auto& call = port.calls[0];
    EXPECT_EQ(call.handle, MemoryDriverPort::kOpenedHandle);
    EXPECT_EQ(call.code, 0x84C9C190u);
    EXPECT_EQ(call.inputLength, 616u);
    EXPECT_EQ(call.outputOffset, 8u);
    EXPECT_EQ(call.outputLength, 152u);
    EXPECT_TRUE(call.bytesReturnedGiven);
    EXPECT_EQ(call.input, std::vector<std::uint8_t>(request.Bytes(), request.Bytes() + 616));
    EXPECT_NE(result.success, 0);
    EXPECT_EQ(result.bytesReturned, 152u);
}

TEST(DeviceChannel, TheReplyLandsInPlaceAndTheResultFollowsEachCall) {
    MemoryDriverPort port;
    DeviceChannel channel(port);
    ASSERT_TRUE(channel.Open());
    OperationResult result;

    port.QueueReply([](std::uint8_t* out, std::uint32_t) { out[2] = 0x18; }, 40);
    port.QueueFailure(87, std::nullopt);  // leaves the count alone
    port.QueueFailure(5, 0u);             // writes a count of zero

    auto first = BuildCommandRequest(Command::RegisterDevice, 1, 0, CurrentKey{});
    EXPECT_EQ(channel.Send(first, result), 0u);
    EXPECT_EQ(first.ScsiStatus(), 0x18);
    EXPECT_EQ(result.bytesReturned, 40u);

    auto second = BuildCommandRequest(Command::RegisterDevice, 1, 0, CurrentKey{});
    EXPECT_EQ(channel.Send(second, result), 87u);
    EXPECT_EQ(result.success, 0);
    EXPECT_EQ(result.bytesReturned, 40u) << "the count of the earlier call remains";

    auto third = BuildCommandRequest(Command::RegisterDevice, 1, 0, CurrentKey{});
    EXPECT_EQ(channel.Send(third, result), 5u);
    EXPECT_EQ(result.bytesReturned, 0u);
}

TEST(DeviceChannel, FailedOpenKeepsTheErrorSendsAnywayAndClosesNothing) {
    MemoryDriverPort port;
    port.FailOpen(2);
    {
        DeviceChannel channel(port);
        EXPECT_FALSE(channel.Open());
        EXPECT_EQ(channel.OpenError(), 2u);
        EXPECT_EQ(channel.Handle(), kInvalidHandle);

        OperationResult result;
        auto request = BuildCommandRequest(Command::ReadReservation, 0, 0, CurrentKey{});
        EXPECT_NE(channel.Send(request, result), 0u);
        EXPECT_EQ(result.success, 0);
        ASSERT_EQ(port.calls.size(), 1u);
        EXPECT_EQ(port.calls[0].handle, kInvalidHandle);
        channel.Close();
    }
    EXPECT_TRUE(port.closedHandles.empty());
}

TEST(DeviceChannel, ClosesAnOpenedHandleExactlyOnce) {
    MemoryDriverPort port;
    { DeviceChannel neverOpened(port); }
    EXPECT_TRUE(port.closedHandles.empty());
    {
        DeviceChannel channel(port);
        ASSERT_TRUE(channel.Open());
        channel.Close();
        channel.Close();
    }
    ASSERT_EQ(port.closedHandles.size(), 1u);
    EXPECT_EQ(port.closedHandles[0], MemoryDriverPort::kOpenedHandle);
}

}  // namespace
}  // namespace tessaly
