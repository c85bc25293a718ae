// PassThroughTarget under Wine on the stand-in driver's default disks (sim/config/DefaultSetup.h):
// a disk object answers as its VLK path does, outcome for outcome, and is the same nexus; the
// failures of the open and of the call.
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
constexpr const char* kDisk701 = "\\\\.\\PhysicalDrive10701";

scsi::Request Pr(PrAction action, std::uint16_t allocation = 512, scsi::PrFields fields = {}) {
    fields.allocationLength = allocation;
    return scsi::MakeRequest(action, fields, 10);
}

// The VLK driver's paths, through the program's own control device.
struct Vlk {
    win32::Win32DriverPort port;
    win32::Win32MessageLookup messages;
    VlkControlDevice control{port, messages, [](const std::string& note) { FAIL() << note; }};
};

TEST(PassThroughTarget, ADiskObjectAnswersAsItsVlkPath) {
    scsi::Request noSuchAction = Pr(PrAction::ReadKeys);
    noSuchAction.cdb[1] = 0x1F;
    // Device 0 is held by another node; its path 0 is not registered.
    const scsi::Request reserve =
        Pr(PrAction::Reserve, 0, {{'T', 'E', 'S', 'S', 'A', 'L', 'Y', '1'}, {}, 6});
    const struct {
        const char* disk;
        std::uint32_t device, path;
        scsi::Request request;
        std::uint8_t status;
    } cases[] = {
        {kDisk701, 7, 1, Pr(PrAction::ReadKeys), scsi::kStatusGood},
        {kDisk701, 7, 1, Pr(PrAction::ReadReservation), scsi::kStatusGood},
        {kDisk701, 7, 1, Pr(PrAction::ReadFullStatus), scsi::kStatusGood},
        {"PhysicalDrive10701", 7, 1, Pr(PrAction::ReadFullStatus, 40), scsi::kStatusGood},
        {"\\\\.\\PhysicalDrive10000", 0, 0, reserve, scsi::kStatusReservationConflict},
        {kDisk701, 7, 1, noSuchAction, scsi::kStatusCheckCondition},
    };
    Vlk vlk;
    for (const auto& c : cases) {
        const scsi::Outcome got = PassThroughTarget(c.disk).Execute(c.request);
        scsi::Outcome want = vlk.control.Path(c.device, c.path)->Execute(c.request);
        ASSERT_TRUE(got.Ran() && want.Ran()) << c.disk << ": " << got.failureText;
        EXPECT_EQ(got.status, c.status) << c.disk;
        EXPECT_EQ(want.status, c.status) << c.disk;
        EXPECT_EQ(got.dataIn, want.dataIn) << c.disk;
        EXPECT_EQ(got.residual, want.residual) << c.disk;
        // The disk object says how much sense it wrote (the model's 18 bytes); the VLK record
        // returns its 24-byte sense area whole.
        EXPECT_EQ(got.sense.size(), c.status == scsi::kStatusCheckCondition ? 18u : 0u) << c.disk;
        want.sense.resize(got.sense.size());
        EXPECT_EQ(got.sense, want.sense) << c.disk;
    }
}

TEST(PassThroughTarget, ARegistrationThroughADiskObjectIsItsVlkPaths) {
    const scsi::ReservationKey key = {'D', 'I', 'S', 'K', '-', '7', '0', '2'};
    PassThroughTarget disk("\\\\.\\PhysicalDrive10702");
    Vlk vlk;
    ASSERT_EQ(disk.Execute(Pr(PrAction::Register, 0, {{}, key})).status, scsi::kStatusGood);

    const scsi::Outcome status = vlk.control.Path(7, 0)->Execute(Pr(PrAction::ReadFullStatus));
    const auto full = scsi::DecodeReadFullStatus(status.dataIn, 512);
    ASSERT_TRUE(full.reply) << full.problem;
    const auto& registrations = full.reply->registrations;
    const auto mine = std::find_if(registrations.begin(), registrations.end(),
                                   [&](const scsi::Registration& r) { return r.key == key; });
    ASSERT_NE(mine, registrations.end());
    EXPECT_EQ(scsi::IscsiName(mine->transportId), disk.InitiatorName());
    EXPECT_EQ(disk.InitiatorName(), vlk.control.Path(7, 2)->InitiatorName());

    // VLK path 7/2 holds the key: it unregisters it, and the disk object sees it gone.
    EXPECT_EQ(vlk.control.Path(7, 2)->Execute(Pr(PrAction::Register, 0, {key})).status,
              scsi::kStatusGood);
    const auto keys = scsi::DecodeReadKeys(disk.Execute(Pr(PrAction::ReadKeys)).dataIn, 512);
    ASSERT_TRUE(keys.reply) << keys.problem;
    EXPECT_EQ(std::count(keys.reply->keys.begin(), keys.reply->keys.end(), key), 0);
}

// Under Wine the DIRECT form's data cannot reach the stand-in: its pages are not in winedevice.exe.
TEST(PassThroughTarget, FailuresOfTheOpenAndOfTheCall) {
    using enum scsi::FailureKind;
    const struct {
        const char* name;
        scsi::FailureKind kind;
        DWORD error;
        bool sent;
        PassThroughForm form = PassThroughForm::Buffered;
    } cases[] = {
        {"\\\\.\\PhysicalDrive10301", NoDevice, ERROR_FILE_NOT_FOUND, false},
        {"PhysicalDrive10704", NoDevice, ERROR_FILE_NOT_FOUND, false},
        {"\\\\.\\C:\\no-such-folder\\disk", NoDevice, ERROR_PATH_NOT_FOUND, false},
        // A folder opens for nobody as a file: refused as a console without elevation is.
        {"\\\\.\\C:\\windows", Failed, ERROR_ACCESS_DENIED, false},
        // Wine's own disk, and the VLK control device: no SCSI pass-through.
        {"\\\\.\\PhysicalDrive0", Failed, ERROR_NOT_SUPPORTED, true},
        {"\\\\.\\vlkpath", Failed, ERROR_INVALID_FUNCTION, true},
        {kDisk701, Failed, ERROR_NO_SYSTEM_RESOURCES, true, PassThroughForm::Direct},
    };
    for (const auto& c : cases) {
        const scsi::Outcome outcome =
            PassThroughTarget(c.name, c.form).Execute(Pr(PrAction::ReadKeys));
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

}  // namespace
}  // namespace tessaly::targets
