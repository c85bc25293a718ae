// The call's buffer through the stand-in driver's own reading of SCSI_PASS_THROUGH (the checks
// Windows' port drivers make) and its run on the disk model, natively: both forms, data either
// way, sense; what one call cannot carry; replies that cannot be trusted.
#include <gtest/gtest.h>

#include <array>

#include "core/RequestLayout.h"
#include "scsi/PersistentReservation.h"
#include "sim/driver/ScsiPassThrough.h"
#include "targets/winpt/PassThroughBuffer.h"

namespace tessaly::targets::winpt {
namespace {

using scsi::PrAction;

// A request of `action`; a PERSISTENT RESERVE IN of `length` bytes, beyond what its allocation
// length can say when asked, and with another service action when given.
scsi::Request Pr(PrAction action, std::uint32_t length, std::uint8_t serviceAction = 0xFF) {
    scsi::PrFields fields;
    fields.serviceActionKey = {'H', 'O', 'S', 'T', '-', '7', '0', '1'};
    fields.allocationLength = static_cast<std::uint16_t>(length < 0xFFFF ? length : 0xFFFF);
    scsi::Request request = scsi::MakeRequest(action, fields, 10);
    if (request.direction == scsi::Direction::In) {
        request.dataInLength = length;
    }
    if (serviceAction != 0xFF) {
        request.cdb[1] = serviceAction;
    }
    return request;
}

// The call run by the stand-in's disk object 10701 on a disk with one key: the outcome read back.
scsi::Outcome Call(PassThroughBuffer& buffer, std::uint8_t* pages, vlksim::DiskModel& model,
                   void (*tamper)(std::uint8_t*, std::uint32_t&) = nullptr) {
    vlkpath::ScsiCall call{};
    EXPECT_TRUE(vlkpath::ReadScsiCall(pages != nullptr, buffer.Bytes(), buffer.InputLength(),
                                      buffer.OutputLength(), call));
    std::uint32_t returned = vlkpath::RunScsiCall(
        model, 7, 1, call, buffer.Bytes(), pages != nullptr ? pages : buffer.Bytes() + call.data);
    if (tamper != nullptr) {
        tamper(buffer.Bytes(), returned);
    }
    return buffer.Read(returned);
}

struct Disk : vlksim::DiskModel {
    Disk() { EXPECT_TRUE(AddDevice(7) && AddPath(7, 1) && AddForeignRegistration(7, 5, kKey)); }
    static constexpr std::uint8_t kKey[8] = {'N', 'O', 'D', 'E', '-', 'C', '0', '3'};
};

TEST(PassThroughBuffer, BothFormsCarryTheCommandWhole) {
    const struct {
        scsi::Request request;
        std::uint8_t status;
        std::size_t data, sense, residual;
    } cases[] = {
        {Pr(PrAction::ReadKeys, 512), scsi::kStatusGood, 16, 0, 496},
        {Pr(PrAction::ReadKeys, 12), scsi::kStatusGood, 12, 0, 0},
        {Pr(PrAction::Register, 0), scsi::kStatusGood, 0, 0, 0},
        {Pr(PrAction::ReadKeys, 512, 0x1F), scsi::kStatusCheckCondition, 0, 18, 512},
    };
    static std::array<std::uint8_t, kMaxData> pages;
    for (const auto& c : cases) {
        scsi::Outcome outcomes[2];
        for (const bool direct : {false, true}) {
            Disk disk;
            PassThroughBuffer buffer;
            std::string why;
            ASSERT_TRUE(buffer.Prepare(c.request, direct ? pages.data() : nullptr, why));
            const scsi::Outcome& o = outcomes[direct] =
                Call(buffer, direct ? pages.data() : nullptr, disk);
            ASSERT_TRUE(o.Ran()) << o.failureText;
            EXPECT_EQ((std::array{std::size_t{o.status}, o.dataIn.size(), o.sense.size(),
                                  std::size_t{o.residual}}),
                      (std::array{std::size_t{c.status}, c.data, c.sense, c.residual}))
                << c.request.cdb[0] << direct;
            EXPECT_EQ(disk.Generation(7), c.request.dataOut.empty() ? 0u : 1u);
        }
        EXPECT_EQ(outcomes[0].dataIn, outcomes[1].dataIn);
        EXPECT_EQ(outcomes[0].sense, outcomes[1].sense);
    }
}

TEST(PassThroughBuffer, RefusesWhatOneCallCannotCarry) {
    scsi::Request tooMuchOut = Pr(PrAction::Register, 0), shortCdb = Pr(PrAction::ReadKeys, 8),
                  longCdb = shortCdb;
    tooMuchOut.dataOut.resize(kMaxData + 1);
    shortCdb.cdb.resize(5);
    longCdb.cdb.resize(17);
    PassThroughBuffer buffer;
    std::string why;
    for (const scsi::Request& refused :
         {Pr(PrAction::ReadKeys, kMaxData + 1), tooMuchOut, shortCdb, longCdb}) {
        EXPECT_FALSE(buffer.Prepare(refused, nullptr, why));
    }
    EXPECT_TRUE(buffer.Prepare(Pr(PrAction::ReadKeys, kMaxData), nullptr, why));
}

TEST(PassThroughBuffer, AReplyThatCannotBeTrustedIsBad) {
    using Tamper = void (*)(std::uint8_t*, std::uint32_t&);
    const struct {
        scsi::Request request;
        Tamper tamper;
    } cases[] = {
        {Pr(PrAction::ReadKeys, 512), [](std::uint8_t*, std::uint32_t& r) { r = 55; }},
        {Pr(PrAction::ReadKeys, 512), [](std::uint8_t*, std::uint32_t& r) { r = 2000; }},
        {Pr(PrAction::ReadKeys, 512), [](std::uint8_t*, std::uint32_t& r) { r -= 1; }},
        {Pr(PrAction::ReadKeys, 16),
         [](std::uint8_t* h, std::uint32_t&) { StoreLe32(h + field::kDataTransferLength, 17); }},
        {Pr(PrAction::ReadKeys, 512, 0x1F),
         [](std::uint8_t*, std::uint32_t& r) { r = kSenseOffset + 17; }},
    };
    for (const auto& c : cases) {
        Disk disk;
        PassThroughBuffer buffer;
        std::string why;
        ASSERT_TRUE(buffer.Prepare(c.request, nullptr, why));
        EXPECT_EQ(Call(buffer, nullptr, disk, c.tamper).failure, scsi::FailureKind::BadReply);
    }
}

}  // namespace
}  // namespace tessaly::targets::winpt
