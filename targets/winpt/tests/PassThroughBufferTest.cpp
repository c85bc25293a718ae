// The call's buffer through the stand-in driver's own reading of SCSI_PASS_THROUGH (the checks
// Windows' port drivers make) and its run on the disk model, natively: both forms, data either
// way, sense; then replies that cannot be trusted.
#include <gtest/gtest.h>

#include <array>

#include "core/RequestLayout.h"
#include "scsi/PersistentReservation.h"
#include "sim/driver/ScsiPassThrough.h"
#include "targets/winpt/PassThroughBuffer.h"

namespace tessaly::targets::winpt {
namespace {

using scsi::PrAction;
constexpr scsi::ReservationKey kKey = {'N', 'O', 'D', 'E', '-', 'C', '0', '3'};

scsi::Request In(PrAction action, std::uint16_t length) {
    scsi::PrFields fields;
    fields.allocationLength = length;
    return scsi::MakeRequest(action, fields, 10);
}

struct Disk {
    vlksim::DiskModel model;
    Disk() {
        EXPECT_TRUE(model.AddDevice(7) && model.AddPath(7, 1) &&
                    model.AddForeignRegistration(7, 5, kKey.data()));
    }
    // The call as the stand-in's disk object 10701 takes it: the bytes it returns.
    std::uint32_t Run(PassThroughBuffer& buffer, std::uint8_t* pages) {
        vlkpath::ScsiCall call{};
        EXPECT_TRUE(vlkpath::ReadScsiCall(pages != nullptr, buffer.Bytes(), buffer.InputLength(),
                                          buffer.OutputLength(), call));
        return vlkpath::RunScsiCall(model, 7, 1, call, buffer.Bytes(),
                                    pages != nullptr ? pages : buffer.Bytes() + call.data);
    }
};

TEST(PassThroughBuffer, BothFormsCarryTheCommandWhole) {
    scsi::PrFields registration;
    registration.serviceActionKey = {'H', 'O', 'S', 'T', '-', '7', '0', '1'};
    scsi::Request badAction = In(PrAction::ReadKeys, 512);
    badAction.cdb[1] = 0x1F;
    const struct {
        const char* what;
        scsi::Request request;
        std::uint8_t status;
        std::size_t data, sense;
        std::uint32_t residual;
    } cases[] = {
        {"READ KEYS", In(PrAction::ReadKeys, 512), scsi::kStatusGood, 16, 0, 496},
        {"READ KEYS cut short", In(PrAction::ReadKeys, 12), scsi::kStatusGood, 12, 0, 0},
        {"REGISTER", scsi::MakeRequest(PrAction::Register, registration, 10), scsi::kStatusGood, 0,
         0, 0},
        {"no such service action", badAction, scsi::kStatusCheckCondition, 0, 18, 512},
    };
    for (const auto& c : cases) {
        scsi::Outcome outcomes[2];
        for (const bool direct : {false, true}) {
            Disk disk;
            static std::array<std::uint8_t, kMaxData> pages;
            PassThroughBuffer buffer;
            std::string why;
            ASSERT_TRUE(buffer.Prepare(c.request, direct ? pages.data() : nullptr, why));
            scsi::Outcome& outcome = outcomes[direct];
            outcome = buffer.Read(disk.Run(buffer, direct ? pages.data() : nullptr));
            ASSERT_TRUE(outcome.Ran()) << c.what << ": " << outcome.failureText;
            EXPECT_EQ(outcome.status, c.status) << c.what;
            EXPECT_EQ(outcome.dataIn.size(), c.data) << c.what;
            EXPECT_EQ(outcome.sense.size(), c.sense) << c.what;
            EXPECT_EQ(outcome.residual, c.residual) << c.what;
            EXPECT_EQ(disk.model.Generation(7), c.request.dataOut.empty() ? 0u : 1u) << c.what;
        }
        EXPECT_EQ(outcomes[0].dataIn, outcomes[1].dataIn) << c.what;
        EXPECT_EQ(outcomes[0].sense, outcomes[1].sense) << c.what;
    }
}

TEST(PassThroughBuffer, RefusesWhatOneCallCannotCarry) {
    scsi::Request tooLong = In(PrAction::ReadKeys, 0);
    tooLong.dataInLength = kMaxData + 1;
    scsi::Request tooMuchOut = scsi::MakeRequest(PrAction::Register, {}, 10);
    tooMuchOut.dataOut.resize(kMaxData + 1);
    scsi::Request shortCdb = In(PrAction::ReadKeys, 8), longCdb = shortCdb;
    shortCdb.cdb.resize(5);
    longCdb.cdb.resize(17);
    scsi::Request most = In(PrAction::ReadKeys, 0);
    most.dataInLength = kMaxData;
    PassThroughBuffer buffer;
    std::string why;
    for (const scsi::Request& refused : {tooLong, tooMuchOut, shortCdb, longCdb}) {
        EXPECT_FALSE(buffer.Prepare(refused, nullptr, why));
        EXPECT_FALSE(why.empty());
    }
    EXPECT_TRUE(buffer.Prepare(most, nullptr, why));
}

TEST(PassThroughBuffer, AReplyThatCannotBeTrustedIsBad) {
    const struct {
        const char* what;
        std::uint16_t allocation;
        std::uint8_t action;  // PERSISTENT RESERVE IN service action
        void (*change)(std::uint8_t* header, std::uint32_t& returned);
    } cases[] = {
        {"shorter than the header", 512, 0, [](std::uint8_t*, std::uint32_t& r) { r = 55; }},
        {"longer than the output", 512, 0,
         [](std::uint8_t*, std::uint32_t& r) { r = kDataOffset + 513; }},
        {"short of the data it describes", 512, 0, [](std::uint8_t*, std::uint32_t& r) { r -= 1; }},
        {"more data than asked", 16, 0,
         [](std::uint8_t* h, std::uint32_t&) { StoreLe32(h + field::kDataTransferLength, 17); }},
        {"short of the sense it describes", 512, 0x1F,
         [](std::uint8_t*, std::uint32_t& r) { r = kSenseOffset + 17; }},
    };
    for (const auto& c : cases) {
        Disk disk;
        scsi::Request request = In(PrAction::ReadKeys, c.allocation);
        request.cdb[1] = c.action;
        PassThroughBuffer buffer;
        std::string why;
        ASSERT_TRUE(buffer.Prepare(request, nullptr, why));
        std::uint32_t returned = disk.Run(buffer, nullptr);
        ASSERT_TRUE(buffer.Read(returned).Ran()) << c.what;
        c.change(buffer.Bytes(), returned);
        EXPECT_EQ(buffer.Read(returned).failure, scsi::FailureKind::BadReply) << c.what;
    }
}

}  // namespace
}  // namespace tessaly::targets::winpt
