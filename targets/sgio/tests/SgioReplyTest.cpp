// What an SG_IO header and an errno become: which host and driver statuses are the transport's
// failures and of which kind, what is the device's own answer, the data and residual kept.
#include <gtest/gtest.h>

#include <cerrno>

#include "scsi/Codes.h"
#include "targets/sgio/SgioReply.h"

namespace tessaly::targets {
namespace {

using scsi::FailureKind;

TEST(SgioReply, HostAndDriverStatusesDecideTheFailure) {
    struct Case {
        std::uint16_t host;
        std::uint16_t driver;
        std::uint8_t status;
        FailureKind kind;
        const char* named;  // what a failure's text names
    };
    const Case cases[] = {
        {0x00, 0x00, scsi::kStatusGood, FailureKind::None, nullptr},
        {0x00, 0x08, scsi::kStatusCheckCondition, FailureKind::None, nullptr},
        // DRIVER_SENSE with SUGGEST_ABORT, as kernels before 5.14 wrote it
        {0x00, 0x28, scsi::kStatusCheckCondition, FailureKind::None, nullptr},
        // the host statuses with which those kernels marked what the device answered
        {0x11, 0x00, scsi::kStatusReservationConflict, FailureKind::None, nullptr},
        {0x10, 0x08, scsi::kStatusCheckCondition, FailureKind::None, nullptr},
        {0x10, 0x00, scsi::kStatusGood, FailureKind::Failed, "DID_TARGET_FAILURE"},
        {0x11, 0x00, scsi::kStatusGood, FailureKind::Failed, "DID_NEXUS_FAILURE"},
        {0x03, 0x00, scsi::kStatusGood, FailureKind::Interrupted, "DID_TIME_OUT"},
        {0x05, 0x00, scsi::kStatusGood, FailureKind::Interrupted, "DID_ABORT"},
        {0x0E, 0x00, scsi::kStatusGood, FailureKind::Interrupted, "DID_TRANSPORT_DISRUPTED"},
        {0x01, 0x00, scsi::kStatusGood, FailureKind::NoDevice, "DID_NO_CONNECT"},
        {0x04, 0x00, scsi::kStatusGood, FailureKind::NoDevice, "DID_BAD_TARGET"},
        {0x07, 0x08, scsi::kStatusCheckCondition, FailureKind::Failed, "CHECK CONDITION"},
        {0x2A, 0x00, scsi::kStatusGood, FailureKind::Failed, "host status 0x2a"},
        {0x00, 0x06, scsi::kStatusGood, FailureKind::Interrupted, "DRIVER_TIMEOUT"},
        {0x00, 0x24, scsi::kStatusGood, FailureKind::Failed, "SUGGEST_ABORT"},
        // a timeout of the driver outweighs a host status that would only fail
        {0x07, 0x06, scsi::kStatusGood, FailureKind::Interrupted, "DID_ERROR"},
    };
    const std::uint8_t sense[] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "host " << c.host << ", driver " << c.driver);
        SgioHeader header;
        header.hostStatus = c.host;
        header.driverStatus = c.driver;
        header.status = c.status;
        header.senseWritten = c.status == scsi::kStatusCheckCondition ? sizeof sense : 0;
        const scsi::Outcome outcome = OutcomeOfReply(header, sense, {}, "/dev/sdc");
        EXPECT_EQ(outcome.failure, c.kind) << outcome.failureText;
        if (c.kind == FailureKind::None) {
            EXPECT_EQ(outcome.status, c.status);
            EXPECT_EQ(outcome.sense.size(), header.senseWritten);
        } else {
            EXPECT_NE(outcome.failureText.find(c.named), std::string::npos) << outcome.failureText;
            EXPECT_NE(outcome.failureText.find("/dev/sdc"), std::string::npos);
        }
    }
}

TEST(SgioReply, DataInIsWhatTheResidualLeaves) {
    struct Case {
        std::int32_t residual;
        std::size_t kept;
    };
    // A residual outside the buffer is the host adapter driver's mistake.
    for (const Case c : {Case{0, 100}, Case{40, 60}, Case{100, 0}, Case{-5, 100}, Case{500, 0}}) {
        SgioHeader header;
        header.residual = c.residual;
        const scsi::Outcome outcome =
            OutcomeOfReply(header, {}, std::vector<std::uint8_t>(100, 0xAA), "/dev/sg2");
        EXPECT_EQ(outcome.dataIn.size(), c.kept) << c.residual;
        EXPECT_EQ(outcome.residual, 100 - c.kept) << c.residual;
    }
    SgioHeader header;
    header.status = scsi::kStatusCheckCondition;
    header.senseWritten = 200;  // more than the buffer: the buffer's
    const std::vector<std::uint8_t> sense(18, 0x70);
    EXPECT_EQ(OutcomeOfReply(header, sense, {}, "/dev/sg2").sense.size(), 18u);
}

TEST(SgioReply, ErrnosOfOpenAndIoctl) {
    const std::pair<int, FailureKind> cases[] = {
        {EPERM, FailureKind::Failed},
        {EACCES, FailureKind::Failed},
        {ENODEV, FailureKind::NoDevice},
        {ENXIO, FailureKind::NoDevice},
        {ETIMEDOUT, FailureKind::Interrupted},
        {EINTR, FailureKind::Interrupted},
        {EIO, FailureKind::Failed},
        {EROFS, FailureKind::Failed},
    };
    for (const auto& [error, kind] : cases) {
        const scsi::Outcome outcome = OutcomeOfError(error, "SG_IO on /dev/sdc", true);
        EXPECT_EQ(outcome.failure, kind) << error;
        EXPECT_EQ(outcome.failureNumber, error);
        // Only a refusal for want of privilege is marked so, and says what to do.
        const bool permission = error == EPERM || error == EACCES;
        EXPECT_EQ(outcome.NoPermission(), permission) << error;
        EXPECT_EQ(outcome.failureText.find("must run as root") != std::string::npos, permission)
            << outcome.failureText;
    }
}

}  // namespace
}  // namespace tessaly::targets
