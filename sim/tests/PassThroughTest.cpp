// The driver's control call: the program's own requests, built by the program's own code, and
// requests that are malformed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/Commands.h"
#include "core/PassThroughRequest.h"
#include "sim/model/DiskModel.h"
#include "sim/tests/ScsiHelpers.h"

namespace vlksim::testing {
namespace {

using tessaly::BuildCommandRequest;
using tessaly::Command;
using tessaly::CurrentKey;
using tessaly::PassThroughRequest;

// The program's fixed registration key, "TESSALY1".
constexpr Key kProgramKey{0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31};

std::uint32_t Le32(const std::uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

class ProgramRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(model.AddDevice(3));
        ASSERT_TRUE(model.AddPath(3, 0));
        ASSERT_TRUE(model.AddPath(3, 1));
        ASSERT_TRUE(model.AddDevice(100));
        ASSERT_TRUE(model.AddPath(100, 32));
    }

    // Sends the request as the program does: input the whole record, output the same record
    // from offset 8, 152 bytes.
    std::int32_t Send(PassThroughRequest& request, std::uint32_t* returned) {
        return model.PassThrough(kPassThroughCode, request.Bytes(), 616, request.OutputArea(), 152,
                                 returned);
    }

    // Runs a command and checks everything the model must leave alone: the numbers, the bytes
    // past the output area and, inside it, every byte that is not part of the reply.
    PassThroughRequest Run(Command command, std::uint32_t device, std::uint32_t path) {
        PassThroughRequest request = BuildCommandRequest(command, device, path, currentKey);
        std::array<std::uint8_t, 616> before{};
        std::memcpy(before.data(), request.Bytes(), 616);
        std::uint32_t returned = 0xDEAD;
        EXPECT_EQ(Send(request, &returned), kStatusSuccess);
        EXPECT_EQ(returned, 152u);
        const std::uint8_t* after = request.Bytes();
        const std::uint32_t transferred = request.DataTransferLength();
        for (std::size_t i = 0; i < 616; ++i) {
            const bool status = i == 10;
            const bool length = i >= 20 && i < 24;
            const bool sense =
                request.ScsiStatus() == kScsiCheckCondition && i >= 68 && i < 68 + 24;
            const bool data =
                i >= 100 && i < 100 + transferred && command <= Command::ReadReservation;
            if (!status && !length && !sense && !data) {
                EXPECT_EQ(after[i], before[i]) << "byte " << i;
            }
        }
        if (command == Command::ReadKeys || command == Command::ReadReservation) {
            currentKey.CaptureFrom(request);
        }
        return request;
    }

    DiskModel model;
    CurrentKey currentKey;
};

TEST_F(ProgramRequests, ReadKeysOnAnEmptyDeviceGivesTheHeaderOnly) {
    const PassThroughRequest reply = Run(Command::ReadKeys, 3, 0);
    EXPECT_EQ(reply.ScsiStatus(), kScsiGood);
    EXPECT_EQ(reply.DataTransferLength(), 8u);
    const auto data = reply.DataArea();
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(ProgramRequests, RegisterReserveReadClearAsTheProgramSendsThem) {
    PassThroughRequest reply = Run(Command::RegisterDevice, 3, 1);
    EXPECT_EQ(reply.ScsiStatus(), kScsiGood);
    EXPECT_EQ(reply.DataTransferLength(), 24u);  // the parameter list, not the 60 offered
    // Register again: now RESERVATION KEY zero is not this nexus's key.
    EXPECT_EQ(Run(Command::RegisterDevice, 3, 1).ScsiStatus(), kScsiReservationConflict);

    EXPECT_EQ(Run(Command::ReserveDevice, 3, 1).ScsiStatus(), kScsiGood);
    reply = Run(Command::ReadReservation, 3, 0);
    EXPECT_EQ(reply.ScsiStatus(), kScsiGood);
    EXPECT_EQ(reply.DataTransferLength(), 24u);
    const auto data = reply.DataArea();
    EXPECT_EQ(Le32(data.data()), 0x01000000u);  // generation 1, big-endian
    EXPECT_EQ(data[7], 16);
    EXPECT_TRUE(std::equal(kProgramKey.begin(), kProgramKey.end(), data.begin() + 8));
    EXPECT_EQ(data[21], 0x06);
    EXPECT_TRUE(std::equal(kProgramKey.begin(), kProgramKey.end(), currentKey.Bytes().begin()));

    reply = Run(Command::ReadKeys, 3, 0);
    EXPECT_EQ(reply.DataTransferLength(), 16u);
    EXPECT_EQ(reply.DataArea()[3], 1);
    EXPECT_EQ(reply.DataArea()[7], 8);

    // Path 0 is not registered: its clear with the holder's key is refused.
    EXPECT_EQ(Run(Command::ClearReservation, 3, 0).ScsiStatus(), kScsiReservationConflict);
    EXPECT_EQ(Run(Command::ClearReservation, 3, 1).ScsiStatus(), kScsiGood);
    reply = Run(Command::ReadKeys, 3, 1);
    EXPECT_EQ(reply.DataArea()[3], 2);
    EXPECT_EQ(reply.DataTransferLength(), 8u);
    EXPECT_EQ(model.Generation(3), 2u);
}

TEST_F(ProgramRequests, ThirdKeyStaysOutsideTheAllocationLength) {
    ASSERT_TRUE(model.AddPathRegistration(3, 0, kKeyA.data()));
    ASSERT_TRUE(model.AddForeignRegistration(3, 0, kKeyB.data()));
    ASSERT_TRUE(model.AddForeignRegistration(3, 5, kKeyC.data()));
    const PassThroughRequest reply = Run(Command::ReadKeys, 3, 1);
    EXPECT_EQ(reply.DataTransferLength(), 24u);
    EXPECT_EQ(reply.DataArea()[7], 24);
    EXPECT_TRUE(std::equal(kKeyB.begin(), kKeyB.end(), reply.DataArea().begin() + 16));
    EXPECT_EQ(reply.DataArea()[24], 0);  // the third key is not sent
}

TEST_F(ProgramRequests, CheckConditionSenseGoesIntoTheSenseArea) {
    PassThroughRequest request = BuildCommandRequest(Command::ReserveDevice, 3, 0, currentKey);
    request.Bytes()[46] = 0x16;  // scope 1
    request.Bytes()[15] = 12;    // room for only 12 sense bytes
    std::uint32_t returned = 0;
    ASSERT_EQ(Send(request, &returned), kStatusSuccess);
    const std::uint8_t* bytes = request.Bytes();
    EXPECT_EQ(bytes[10], kScsiCheckCondition);
    EXPECT_EQ(Le32(bytes + 20), 0u);  // nothing taken
    EXPECT_EQ(bytes[68], 0x70);
    EXPECT_EQ(bytes[70], 0x05);
    EXPECT_EQ(bytes[75], 10);
    EXPECT_EQ(bytes[79], 0);   // byte 11 of the sense
    EXPECT_EQ(bytes[80], 0);   // ASC lies past the 12 bytes allowed
    EXPECT_EQ(bytes[15], 12);  // SenseInfoLength is left as sent
}

TEST_F(ProgramRequests, ShorterDataTransferLengthTruncatesDataIn) {
    ASSERT_TRUE(model.AddPathRegistration(3, 0, kKeyA.data()));
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 3, 0, currentKey);
    request.Bytes()[20] = 12;
    std::uint32_t returned = 0;
    ASSERT_EQ(Send(request, &returned), kStatusSuccess);
    EXPECT_EQ(returned, 92u + 12u);
    EXPECT_EQ(request.DataTransferLength(), 12u);
    EXPECT_EQ(request.DataArea()[7], 8);
    EXPECT_EQ(request.DataArea()[8], kKeyA[0]);
    EXPECT_EQ(request.DataArea()[12], 0);  // past the transfer
}

TEST_F(ProgramRequests, LongerOutputCarriesLongerTransfers) {
    for (std::uint32_t foreign = 0; foreign < kForeignCount; ++foreign) {
        Key key = kKeyA;
        key[7] = static_cast<std::uint8_t>(foreign);
        ASSERT_TRUE(model.AddForeignRegistration(100, foreign, key.data()));
    }
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 100, 32, currentKey);
    request.Bytes()[20] = 0x00;
    request.Bytes()[21] = 0x02;  // 512
    request.Bytes()[51] = 0x02;  // allocation length 0x218
    std::uint32_t returned = 0;
    ASSERT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 616, request.OutputArea(), 608,
                                &returned),
              kStatusSuccess);
    EXPECT_EQ(returned, 604u);
    EXPECT_EQ(request.DataTransferLength(), 72u);
    EXPECT_EQ(request.DataArea()[71], 7);
}

TEST_F(ProgramRequests, SixteenByteCommandBlockReadsAWholeBlock) {
    // READ(16) of LBA 2047, one block, into the whole data area and the whole 608-byte output.
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 3, 1, currentKey);
    std::uint8_t* bytes = request.Bytes();
    bytes[14] = 16;
    const std::uint8_t cdb[16] = {0x88, 0, 0, 0, 0, 0, 0, 0, 0x07, 0xFF, 0, 0, 0, 1, 0, 0};
    std::memcpy(bytes + 44, cdb, 16);
    bytes[20] = 0x00;
    bytes[21] = 0x02;  // 512
    std::fill(bytes + 100, bytes + 612, 0xEE);
    std::uint32_t returned = 0;
    ASSERT_EQ(model.PassThrough(kPassThroughCode, bytes, 616, request.OutputArea(), 608, &returned),
              kStatusSuccess);
    EXPECT_EQ(returned, 604u);
    EXPECT_EQ(request.ScsiStatus(), kScsiGood);
    EXPECT_EQ(request.DataTransferLength(), 512u);
    EXPECT_EQ(std::ranges::count(request.DataArea(), 0), 512);
}

TEST_F(ProgramRequests, SeparateOutputBufferGetsTheWholeReplyBlock) {
    ASSERT_TRUE(model.AddPathRegistration(3, 0, kKeyA.data()));
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 3, 0, currentKey);
    std::vector<std::uint8_t> output(200, 0xCC);
    std::uint32_t returned = 0;
    ASSERT_EQ(
        model.PassThrough(kPassThroughCode, request.Bytes(), 616, output.data(), 152, &returned),
        kStatusSuccess);
    EXPECT_EQ(returned, 152u);
    // Everything the device did not answer is copied from the input.
    EXPECT_EQ(output[0], 56);
    EXPECT_EQ(output[4], 1);
    EXPECT_EQ(output[36], 0x5E);
    EXPECT_EQ(output[2], kScsiGood);
    EXPECT_EQ(Le32(&output[12]), 16u);
    EXPECT_EQ(output[100], kKeyA[0]);
    EXPECT_EQ(output[108], 0);
    EXPECT_EQ(output[151], 0);
    EXPECT_EQ(output[152], 0xCC);
}

TEST_F(ProgramRequests, InputAndOutputAsOneBuffer) {
    // METHOD_BUFFERED: one system buffer, the output written from its first byte.
    ASSERT_TRUE(model.AddPathRegistration(3, 1, kProgramKey.data()));
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 3, 1, currentKey);
    std::array<std::uint8_t, 616> system{};
    std::memcpy(system.data(), request.Bytes(), 616);
    std::uint32_t returned = 0;
    ASSERT_EQ(
        model.PassThrough(kPassThroughCode, system.data(), 616, system.data(), 616, &returned),
        kStatusSuccess);
    EXPECT_EQ(returned, 152u);
    EXPECT_EQ(Le32(system.data()), 56u);  // header length over the device number
    EXPECT_EQ(system[2], kScsiGood);
    EXPECT_EQ(system[6], 10);
    EXPECT_EQ(Le32(system.data() + 12), 16u);
    EXPECT_EQ(system[36], 0x5E);
    EXPECT_TRUE(std::equal(kProgramKey.begin(), kProgramKey.end(), system.begin() + 100));

    // The same for a PERSISTENT RESERVE OUT: its parameter list is read before the reply lands
    // on top of it.
    PassThroughRequest read = BuildCommandRequest(Command::ReadKeys, 3, 1, currentKey);
    ASSERT_EQ(Send(read, &returned), kStatusSuccess);
    currentKey.CaptureFrom(read);
    request = BuildCommandRequest(Command::ClearReservation, 3, 1, currentKey);
    std::memcpy(system.data(), request.Bytes(), 616);
    ASSERT_EQ(
        model.PassThrough(kPassThroughCode, system.data(), 616, system.data(), 616, &returned),
        kStatusSuccess);
    EXPECT_EQ(system[2], kScsiGood);
    EXPECT_EQ(model.Generation(3), 1u);
}

TEST(PassThroughFailures, AbsentDeviceOrPathWritesNothing) {
    DiskModel model;
    ASSERT_TRUE(model.AddDevice(3));
    ASSERT_TRUE(model.AddPath(3, 1));
    const CurrentKey key;
    for (const auto& [device, path] : {std::pair{3u, 0u}, std::pair{4u, 1u}, std::pair{3u, 33u},
                                       std::pair{101u, 1u}, std::pair{0xFFFFFFFFu, 1u}}) {
        PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, device, path, key);
        std::array<std::uint8_t, 616> before{};
        std::memcpy(before.data(), request.Bytes(), 616);
        std::uint32_t returned = 77;
        EXPECT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 616, request.OutputArea(),
                                    152, &returned),
                  kStatusNoSuchDevice);
        EXPECT_EQ(returned, 77u);
        EXPECT_EQ(std::memcmp(before.data(), request.Bytes(), 616), 0);
    }
    EXPECT_EQ(static_cast<std::uint32_t>(kStatusNoSuchDevice), 0xC00000C0u);
}

TEST(PassThroughFailures, MalformedRequestsAreRefusedUntouched) {
    DiskModel model;
    ASSERT_TRUE(model.AddDevice(0));
    ASSERT_TRUE(model.AddPath(0, 0));
    const CurrentKey key;
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"header length 55", 8, 55}, {"header length 312", 9, 1},
        {"no command block", 14, 0}, {"command block of 17", 14, 17},
        {"sense length 33", 15, 33}, {"direction 2", 16, 2},
        {"transfer 513", 20, 0x01},  {"transfer 2^24+60", 23, 1},
        {"data offset 93", 32, 93},  {"data offset 2^32+92", 36, 1},
        {"sense offset 61", 40, 61}, {"sense offset 2^24+60", 43, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 0, 0, key);
        if (std::string(c.what) == "transfer 513") {
            request.Bytes()[21] = 0x02;
        }
        request.Bytes()[c.offset] = c.value;
        std::array<std::uint8_t, 616> before{};
        std::memcpy(before.data(), request.Bytes(), 616);
        std::uint32_t returned = 5;
        EXPECT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 616, request.OutputArea(),
                                    152, &returned),
                  kStatusInvalidParameter);
        EXPECT_EQ(returned, 5u);
        EXPECT_EQ(std::memcmp(before.data(), request.Bytes(), 616), 0);
    }

    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 0, 0, key);
    std::uint32_t returned = 5;
    EXPECT_EQ(
        model.PassThrough(0x84C9C194, request.Bytes(), 616, request.OutputArea(), 152, &returned),
        kStatusInvalidDeviceRequest);
    EXPECT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 615, request.OutputArea(), 152,
                                &returned),
              kStatusInvalidParameter);
    EXPECT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 617, request.OutputArea(), 152,
                                &returned),
              kStatusInvalidParameter);
    EXPECT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 616, request.OutputArea(), 151,
                                &returned),
              kStatusInvalidParameter);
    EXPECT_EQ(
        model.PassThrough(kPassThroughCode, nullptr, 616, request.OutputArea(), 152, &returned),
        kStatusInvalidParameter);
    EXPECT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 616, nullptr, 152, &returned),
              kStatusInvalidParameter);
    EXPECT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 616, request.OutputArea(), 152,
                                nullptr),
              kStatusInvalidParameter);
    EXPECT_EQ(returned, 5u);
    // Within the limits: a 6-byte command block, direction out, no transfer at all.
    request.Bytes()[14] = 6;
    request.Bytes()[44] = 0x00;  // TEST UNIT READY
    request.Bytes()[16] = 0;
    request.Bytes()[20] = 0;
    EXPECT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 616, request.OutputArea(), 152,
                                &returned),
              kStatusSuccess);
    EXPECT_EQ(returned, 92u);
    EXPECT_EQ(request.ScsiStatus(), kScsiGood);
}

}  // namespace
}  // namespace vlksim::testing
