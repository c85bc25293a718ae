// PassThroughTarget under Wine on the stand-in driver's default disks (sim/config/DefaultSetup.h):
// a disk object answers as its VLK path does, outcome for outcome, and is the same nexus; the
// failures of the open and of the call; the DIRECT form as far as Wine carries it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "scsi/PersistentReservation.h"
#include "scsi/Replies.h"
#include "targets/vlk/VlkTarget.h"
#include "targets/winpt/PassThroughTarget.h"
#include "win32/Win32DriverPort.h"
#include "win32/Win32MessageLookup.h"

namespace tessaly::targets {
namespace {

using scsi::PrAction;

scsi::Request Pr(PrAction action, std::uint16_t allocation = 512,
                 const scsi::ReservationKey& key = {}, const scsi::ReservationKey& newKey = {},
                 std::uint8_t type = 0) {
    scsi::PrFields fields;
    fields.allocationLength = allocation;
    fields.reservationKey = key;
    fields.serviceActionKey = newKey;
    fields.scopeAndType = type;
    return scsi::MakeRequest(action, fields, 10);
}

// The VLK driver's paths, through the program's own control device.
class Vlk {
  public:
    std::unique_ptr<scsi::Target> Path(std::uint32_t device, std::uint32_t path) {
        return control_.Path(device, path);
    }

  private:
    win32::Win32DriverPort port_;
    win32::Win32MessageLookup messages_;
    VlkControlDevice control_{port_, messages_, [](const std::string& note) { FAIL() << note; }};
};

TEST(PassThroughTarget, ADiskObjectAnswersAsItsVlkPath) {
    scsi::Request noSuchAction = Pr(PrAction::ReadKeys);
    noSuchAction.cdb[1] = 0x1F;
    const scsi::ReservationKey tessaly = {'T', 'E', 'S', 'S', 'A', 'L', 'Y', '1'};
    const struct {
        const char* disk;
        std::uint32_t device, path;
        scsi::Request request;
        std::uint8_t status;
    } cases[] = {
        {"\\\\.\\PhysicalDrive10701", 7, 1, Pr(PrAction::ReadKeys), scsi::kStatusGood},
        {"\\\\.\\PhysicalDrive10701", 7, 1, Pr(PrAction::ReadReservation), scsi::kStatusGood},
        {"\\\\.\\PhysicalDrive10701", 7, 1, Pr(PrAction::ReadFullStatus), scsi::kStatusGood},
        {"PhysicalDrive10701", 7, 1, Pr(PrAction::ReadFullStatus, 40), scsi::kStatusGood},
        // Device 0 is held by another node; its path 0 is not registered.
        {"\\\\.\\PhysicalDrive10000", 0, 0, Pr(PrAction::Reserve, 0, tessaly, {}, 6),
         scsi::kStatusReservationConflict},
        {"\\\\.\\PhysicalDrive10701", 7, 1, noSuchAction, scsi::kStatusCheckCondition},
    };
    Vlk vlk;
    for (const auto& c : cases) {
        PassThroughTarget disk(c.disk);
        const scsi::Outcome got = disk.Execute(c.request);
        const scsi::Outcome want = vlk.Path(c.device, c.path)->Execute(c.request);
        ASSERT_TRUE(got.Ran() && want.Ran()) << c.disk << ": " << got.failureText;
        EXPECT_EQ(got.status, c.status) << c.disk;
        EXPECT_EQ(got.status, want.status) << c.disk;
        // The VLK record's sense area comes back whole (24 bytes); the disk object says what
        // it wrote, the sense's own length.
        ASSERT_LE(got.sense.size(), want.sense.size()) << c.disk;
        EXPECT_TRUE(std::equal(got.sense.begin(), got.sense.end(), want.sense.begin())) << c.disk;
        EXPECT_EQ(got.sense.size(), got.sense.empty() ? 0u : 8u + got.sense[7]) << c.disk;
        EXPECT_EQ(got.dataIn, want.dataIn) << c.disk;
        EXPECT_EQ(got.residual, want.residual) << c.disk;
        EXPECT_EQ(got.sense.empty(), c.status != scsi::kStatusCheckCondition) << c.disk;
        EXPECT_EQ(got.dataIn.empty(), c.request.dataInLength == 0 || !got.sense.empty()) << c.disk;
    }
}

TEST(PassThroughTarget, ARegistrationThroughADiskObjectIsItsVlkPaths) {
    const scsi::ReservationKey key = {'D', 'I', 'S', 'K', '-', '7', '0', '2'};
    PassThroughTarget disk("\\\\.\\PhysicalDrive10702");
    Vlk vlk;
    ASSERT_EQ(disk.Execute(Pr(PrAction::Register, 0, {}, key)).status, scsi::kStatusGood);

    const scsi::Outcome status = vlk.Path(7, 0)->Execute(Pr(PrAction::ReadFullStatus));
    const auto full = scsi::DecodeReadFullStatus(status.dataIn, 512);
    ASSERT_TRUE(full.reply) << full.problem;
    const auto& registrations = full.reply->registrations;
    const auto mine = std::find_if(registrations.begin(), registrations.end(),
                                   [&](const scsi::Registration& r) { return r.key == key; });
    ASSERT_NE(mine, registrations.end());
    EXPECT_EQ(scsi::IscsiName(mine->transportId), disk.InitiatorName());
    EXPECT_EQ(disk.InitiatorName(), vlk.Path(7, 2)->InitiatorName());

    // VLK path 7/2 holds the key: it unregisters it, and the disk object sees it gone.
    EXPECT_EQ(vlk.Path(7, 2)->Execute(Pr(PrAction::Register, 0, key, {})).status,
              scsi::kStatusGood);
    const auto keys = scsi::DecodeReadKeys(disk.Execute(Pr(PrAction::ReadKeys)).dataIn, 512);
    ASSERT_TRUE(keys.reply) << keys.problem;
    EXPECT_EQ(std::count(keys.reply->keys.begin(), keys.reply->keys.end(), key), 0);
}

TEST(PassThroughTarget, FailuresOfTheOpenAndOfTheCall) {
    const struct {
        const char* name;
        scsi::FailureKind kind;
        DWORD error;
        bool sent;
    } cases[] = {
        {"\\\\.\\PhysicalDrive10301", scsi::FailureKind::NoDevice, ERROR_FILE_NOT_FOUND, false},
        {"PhysicalDrive10704", scsi::FailureKind::NoDevice, ERROR_FILE_NOT_FOUND, false},
        {"\\\\.\\C:\\no-such-folder\\disk", scsi::FailureKind::NoDevice, ERROR_PATH_NOT_FOUND,
         false},
        // A folder opens for nobody as a file: refused as a console without elevation is.
        {"\\\\.\\C:\\windows", scsi::FailureKind::Failed, ERROR_ACCESS_DENIED, false},
        // Wine's own disk, and the VLK control device: no SCSI pass-through.
        {"\\\\.\\PhysicalDrive0", scsi::FailureKind::Failed, ERROR_NOT_SUPPORTED, true},
        {"\\\\.\\vlkpath", scsi::FailureKind::Failed, ERROR_INVALID_FUNCTION, true},
    };
    for (const auto& c : cases) {
        PassThroughTarget disk(c.name);
        for (int attempt = 0; attempt < 2; ++attempt) {  // the open is tried again
            const scsi::Outcome outcome = disk.Execute(Pr(PrAction::ReadKeys));
            EXPECT_EQ(outcome.failure, c.kind) << c.name;
            EXPECT_EQ(outcome.failureNumber, c.error) << c.name;
            EXPECT_EQ(outcome.sent, c.sent) << c.name;
            EXPECT_NE(outcome.failureText.find("error " + std::to_string(c.error) + ": "),
                      std::string::npos)
                << outcome.failureText;
            const bool permission = std::any_of(
                outcome.facts.begin(), outcome.facts.end(),
                [](const scsi::Fact& f) { return f.name == "reason" && f.text == "permission"; });
            EXPECT_EQ(permission, c.error == ERROR_ACCESS_DENIED) << c.name;
        }
    }
}

// Under Wine the stand-in cannot map the caller's pages: DIRECT runs only without data.
TEST(PassThroughTarget, DirectFormUnderWineRunsOnlyWithoutData) {
    scsi::Request testUnitReady;
    testUnitReady.cdb.assign(6, 0);
    PassThroughTarget disk("\\\\.\\PhysicalDrive10701", PassThroughForm::Direct);
    const scsi::Outcome ready = disk.Execute(testUnitReady);
    EXPECT_TRUE(ready.Ran()) << ready.failureText;
    EXPECT_EQ(ready.status, scsi::kStatusGood);
    const scsi::Outcome keys = disk.Execute(Pr(PrAction::ReadKeys));
    EXPECT_EQ(keys.failure, scsi::FailureKind::Failed);
    EXPECT_EQ(keys.failureNumber, ERROR_NO_SYSTEM_RESOURCES);
}

}  // namespace
}  // namespace tessaly::targets
