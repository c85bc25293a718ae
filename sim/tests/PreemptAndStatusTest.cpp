// PREEMPT and PREEMPT AND ABORT, REPORT CAPABILITIES, READ FULL STATUS, unit attentions and the
// quirks that break their rules, played at the model's SCSI layer on a device with unit attentions
// on.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "core/PassThroughRequest.h"
#include "sim/model/DiskModel.h"
#include "sim/tests/ScsiHelpers.h"

namespace vlksim::testing {
namespace {

class PreemptAndStatus : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(model.AddDevice(kDevice));
        for (std::uint32_t path : {0u, 1u, 2u, 32u}) {
            ASSERT_TRUE(model.AddPath(kDevice, path));
        }
        ASSERT_TRUE(model.SetUnitAttentions(kDevice, true));
    }

    void Registered(DiskModel::Nexus nexus, const Key& key) {
        ASSERT_EQ(Register(model, kDevice, nexus, kZeroKey, key).status(), kScsiGood);
    }
    // Keys as READ KEYS lists them, from a nexus that has no unit attention pending.
    std::vector<Key> Keys() {
        return KeysIn(ReserveIn(model, kDevice, Foreign(7), kReadKeys, 512, 512));
    }
    Reply Reservation() { return ReserveIn(model, kDevice, Foreign(7), kReadReservation); }
    // What TEST UNIT READY meets on a nexus: 0 for GOOD, else the unit attention's ASC/ASCQ.
    std::uint16_t Attention(DiskModel::Nexus nexus) {
        const std::uint8_t cdb[6] = {};
        const auto outcome = model.Execute(kDevice, nexus, cdb, 6, nullptr, 0, nullptr, 0);
        if (outcome.status == kScsiGood) {
            return 0;
        }
        EXPECT_EQ(outcome.sense[2], 0x06) << "sense key UNIT ATTENTION";
        return static_cast<std::uint16_t>(outcome.sense[12] << 8 | outcome.sense[13]);
    }

    static constexpr std::uint32_t kDevice = 9;
    DiskModel model;
};

TEST_F(PreemptAndStatus, PreemptTakesTheHoldersReservationOrRemovesRegistrations) {
    Registered(Foreign(1), kKeyB);  // a dead node, on two initiators
    Registered(Foreign(2), kKeyB);
    Registered(Path(0), kKeyA);
    Registered(Path(1), kKeyC);
    ASSERT_EQ(Reserve(model, kDevice, Foreign(1), kKeyB, 0x6).status(), kScsiGood);
    // Refused, and nothing changes: a zero key outside an all-registrants reservation, a key
    // nobody has, a RESERVATION KEY not the nexus's, a reserved type for the reservation taken.
    EXPECT_EQ(Preempt(model, kDevice, Path(0), kKeyA, kZeroKey).additionalSense(), 0x2600);
    EXPECT_EQ(Preempt(model, kDevice, Path(0), kKeyA, Key{9}).status(), kScsiReservationConflict);
    EXPECT_EQ(Preempt(model, kDevice, Path(0), kKeyB, kKeyB).status(), kScsiReservationConflict);
    EXPECT_EQ(Preempt(model, kDevice, Path(0), kKeyA, kKeyB, 0x2).additionalSense(), 0x2400);
    EXPECT_EQ(model.Generation(kDevice), 4u);

    // The holder's key, by PREEMPT AND ABORT, with another type: the victim's registrations go
    // and hear REGISTRATIONS PREEMPTED, the nexus left registered RESERVATIONS RELEASED.
    EXPECT_EQ(Preempt(model, kDevice, Path(0), kKeyA, kKeyB, 0x5, 0x05).status(), kScsiGood);
    EXPECT_EQ(Keys(), (std::vector<Key>{kKeyA, kKeyC}));
    EXPECT_EQ(Reservation().KeyAt(8), kKeyA);
    EXPECT_EQ(Reservation().data.at(21), 0x05);
    EXPECT_EQ(model.Generation(kDevice), 5u);
    EXPECT_EQ(Attention(Foreign(1)), 0x2A05);
    EXPECT_EQ(Attention(Foreign(2)), 0x2A05);
    EXPECT_EQ(Attention(Path(1)), 0x2A04);
    EXPECT_EQ(Attention(Path(0)), 0);

    // Another key: only its registrations go, the reservation stays, TYPE is not read. The
    // preempting nexus's own key: its own registration goes, without a unit attention.
    EXPECT_EQ(Preempt(model, kDevice, Path(0), kKeyA, kKeyC, 0x0).status(), kScsiGood);
    EXPECT_EQ(Attention(Path(1)), 0x2A05);
    EXPECT_EQ(Reservation().data.at(21), 0x05);
    Registered(Path(1), kKeyC);
    EXPECT_EQ(Preempt(model, kDevice, Path(1), kKeyC, kKeyC).status(), kScsiGood);
    EXPECT_EQ(Keys(), std::vector<Key>{kKeyA});
    EXPECT_EQ(Attention(Path(1)), 0);
}

TEST_F(PreemptAndStatus, PreemptUnderAnAllRegistrantsReservation) {
    Registered(Path(0), kKeyA);
    Registered(Path(1), kKeyB);
    Registered(Foreign(4), kKeyC);
    ASSERT_EQ(Reserve(model, kDevice, Path(1), kKeyB, 0x7).status(), kScsiGood);
    // A non-zero key removes those registrations and leaves the reservation.
    EXPECT_EQ(Preempt(model, kDevice, Path(0), kKeyA, kKeyC, 0x1).status(), kScsiGood);
    EXPECT_EQ(Reservation().data.at(21), 0x07);
    EXPECT_EQ(Attention(Foreign(4)), 0x2A05);
    // A zero key removes every other registration and takes a reservation of its own.
    Registered(Foreign(4), kKeyC);
    EXPECT_EQ(Preempt(model, kDevice, Path(0), kKeyA, kZeroKey, 0x3).status(), kScsiGood);
    EXPECT_EQ(Keys(), std::vector<Key>{kKeyA});
    EXPECT_EQ(Reservation().KeyAt(8), kKeyA);
    EXPECT_EQ(Reservation().data.at(21), 0x03);
    EXPECT_EQ(Attention(Path(1)), 0x2A05);
    EXPECT_EQ(Attention(Foreign(4)), 0x2A05);
}

// The descriptor of one registration, as SPC-3 lays it out, with the nexus's iSCSI name.
std::vector<std::uint8_t> Descriptor(const Key& key, std::uint8_t holderScopeType,
                                     const std::string& name) {
    std::vector<std::uint8_t> d(key.begin(), key.end());
    d.insert(d.end(), {0, 0, 0, 0, holderScopeType != 0, holderScopeType, 0, 0, 0, 0, 0, 1});
    const std::size_t padded = (name.size() + 4) / 4 * 4;
    d.insert(d.end(), {0, 0, 0, static_cast<std::uint8_t>(4 + padded), 0x05, 0, 0,
                       static_cast<std::uint8_t>(padded)});
    d.insert(d.end(), name.begin(), name.end());
    d.resize(d.size() + padded - name.size(), 0);
    return d;
}

TEST_F(PreemptAndStatus, ReadFullStatusDescribesEveryRegistration) {
    const std::string prefix = "iqn.2026-12.org.tessaly:";
    EXPECT_EQ(ReserveIn(model, kDevice, Path(0), kReadFullStatus).data,
              (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0}));

    Registered(Path(2), kKeyA);
    std::vector<std::uint8_t> expected = {0, 0, 0, 1, 0, 0, 0, 60};
    const auto one = Descriptor(kKeyA, 0, prefix + "path2");
    expected.insert(expected.end(), one.begin(), one.end());
    EXPECT_EQ(ReserveIn(model, kDevice, Path(0), kReadFullStatus, 512, 512).data, expected);

    // Holder and non-holder, this host's path and another host's initiator.
    Registered(Foreign(7), kKeyB);
    ASSERT_EQ(Reserve(model, kDevice, Foreign(7), kKeyB, 0x5).status(), kScsiGood);
    expected = {0, 0, 0, 2, 0, 0, 0, 124};
    for (const auto& d : {one, Descriptor(kKeyB, 0x05, prefix + "foreign7")}) {
        expected.insert(expected.end(), d.begin(), d.end());
    }
    EXPECT_EQ(ReserveIn(model, kDevice, Path(0), kReadFullStatus, 512, 512).data, expected);

    // Allocation length and transfer cut the data, never ADDITIONAL LENGTH.
    const Reply cut = ReserveIn(model, kDevice, Path(0), kReadFullStatus, 70, 512);
    EXPECT_EQ(cut.data, std::vector<std::uint8_t>(expected.begin(), expected.begin() + 70));
    EXPECT_EQ(ReserveIn(model, kDevice, Path(0), kReadFullStatus, 512, 9).data.size(), 9u);

    // Under an all-registrants reservation every registrant is a holder.
    ASSERT_EQ(Release(model, kDevice, Foreign(7), kKeyB, 0x5).status(), kScsiGood);
    ASSERT_EQ(Attention(Path(2)), 0x2A04);
    ASSERT_EQ(Reserve(model, kDevice, Path(2), kKeyA, 0x8).status(), kScsiGood);
    const Reply all = ReserveIn(model, kDevice, Path(2), kReadFullStatus, 512, 512);
    EXPECT_EQ(all.data.at(8 + 12), 1);
    EXPECT_EQ(all.data.at(8 + 13), 0x08);
    EXPECT_EQ(all.data.at(8 + 60 + 12), 1);
    EXPECT_EQ(all.data.at(8 + 60 + 13), 0x08);
}

TEST_F(PreemptAndStatus, AForeignInitiatorsOwnPortIsNamedWithItsSession) {
    // Two initiators of one name under two ISIDs: format 01b, "NAME,i,0xISID", zero-padded.
    const std::uint8_t isids[2][6] = {{0x02, 0x3d, 0, 0, 0, 1}, {0x02, 0x3d, 0, 0, 0, 0x2a}};
    const char name[] = "iqn.2026-12.org.example:node-b";
    for (std::uint32_t f : {3u, 4u}) {
        ASSERT_TRUE(model.SetForeignPort(kDevice, f, name, sizeof name - 1, isids[f - 3]));
        Registered(Foreign(f), kKeyB);
    }
    EXPECT_FALSE(model.SetForeignPort(kDevice, 8, name, sizeof name - 1, isids[0]));
    EXPECT_FALSE(model.SetForeignPort(kDevice, 0, name, kPortNameMax + 1, isids[0]));
    const Reply status = ReserveIn(model, kDevice, Path(0), kReadFullStatus, 512, 512);
    std::vector<std::uint8_t> expected = {0, 0, 0, 2, 0, 0, 0, 2 * (24 + 52)};
    for (const char* port : {",i,0x023d00000001", ",i,0x023d0000002a"}) {
        auto d = Descriptor(kKeyB, 0, std::string(name) + port);
        d[24] = 0x45;
        expected.insert(expected.end(), d.begin(), d.end());
    }
    EXPECT_EQ(status.data, expected);
}

TEST_F(PreemptAndStatus, APersistCapableDeviceTakesAptplAndReportsIt) {
    const auto capabilities = [this] {
        const Reply r = ReserveIn(model, kDevice, Path(0), kReportCapabilities, 8, 512);
        return std::vector<std::uint8_t>(r.data.begin() + 2, r.data.begin() + 4);
    };
    const OutCommand aptpl{.action = 0x00, .serviceActionKey = kKeyA, .flags = 0x01};
    EXPECT_EQ(ReserveOut(model, kDevice, Path(0), aptpl).additionalSense(), 0x2600);
    ASSERT_TRUE(model.SetPersistCapable(kDevice, true));
    EXPECT_EQ(capabilities(), (std::vector<std::uint8_t>{0x01, 0x80}));
    ASSERT_EQ(ReserveOut(model, kDevice, Path(0), aptpl).status(), kScsiGood);
    EXPECT_EQ(capabilities(), (std::vector<std::uint8_t>{0x01, 0x81}));
    // The last REGISTER's APTPL counts.
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyC).status(), kScsiGood);
    EXPECT_EQ(capabilities(), (std::vector<std::uint8_t>{0x01, 0x80}));
}

TEST_F(PreemptAndStatus, ReadFullStatusOfEveryNexusThroughTheControlCall) {
    for (std::uint32_t path = 3; path < kPathCount; ++path) {
        ASSERT_TRUE(model.AddPath(kDevice, path));
    }
    for (std::uint32_t n = 0; n < kPathCount + kForeignCount; ++n) {
        Registered(n < kPathCount ? Path(n) : Foreign(n - kPathCount), kKeyA);
    }
    // The program's request, the whole data area asked for, the output over the request from
    // its header on (one buffer for both) with the whole pass-through block.
    namespace at = tessaly::request_offset;
    const std::array<std::uint8_t, tessaly::kCdbSize> cdb = {0x5E, 0x03, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    tessaly::PassThroughRequest request(kDevice, 0, tessaly::DataDirection::In, cdb, {});
    tessaly::StoreLe32(request.Bytes() + at::kDataTransferLength, 512);
    std::uint32_t returned = 0;
    ASSERT_EQ(model.PassThrough(kPassThroughCode, request.Bytes(), 616, request.OutputArea(),
                                tessaly::request_layout::kPassThroughBlockSize, &returned),
              kStatusSuccess);
    EXPECT_EQ(returned, 604u);
    EXPECT_EQ(request.DataTransferLength(), 512u);
    const auto data = request.DataArea();
    EXPECT_EQ(data[3], 41);
    // 10 paths with a one-digit number, 23 with two: 36-byte TransportIDs; 8 foreign: 40 bytes.
    const std::uint32_t additional = 33 * (24 + 36) + 8 * (24 + 40);
    EXPECT_EQ(data[6] << 8 | data[7], static_cast<int>(additional));
    EXPECT_EQ(request.Bytes()[at::kTail], 0) << "the tail stays as it was";
}

TEST_F(PreemptAndStatus, UnitAttentionsAreReportedOnceAndHoldTheCommandBack) {
    Registered(Path(0), kKeyA);
    Registered(Path(1), kKeyB);
    Registered(Foreign(0), kKeyC);
    ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x6).status(), kScsiGood);
    // A release of a registrants-only reservation, then a clear: two conditions, oldest first.
    ASSERT_EQ(Release(model, kDevice, Path(0), kKeyA, 0x6).status(), kScsiGood);
    ASSERT_EQ(ClearAll(model, kDevice, Path(0), kKeyA).status(), kScsiGood);

    // INQUIRY and REPORT LUNS run and leave them pending.
    const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
    std::uint8_t data[36];
    EXPECT_EQ(model.Execute(kDevice, Path(1), inquiry, 6, nullptr, 0, data, 36).status, kScsiGood);
    const std::uint8_t reportLuns[12] = {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0};
    const auto luns = model.Execute(kDevice, Path(1), reportLuns, 12, nullptr, 0, data, 36);
    EXPECT_EQ(luns.status, kScsiGood);
    EXPECT_EQ(luns.dataInLength, 16u);
    EXPECT_EQ(data[3], 8);

    // Any other command meets them one at a time and does not run: the registration does not
    // happen.
    const Reply held = Register(model, kDevice, Path(1), kZeroKey, kKeyB);
    EXPECT_EQ(held.status(), kScsiCheckCondition);
    EXPECT_EQ(held.senseKey(), 0x06);
    EXPECT_EQ(held.additionalSense(), 0x2A04);
    EXPECT_EQ(held.outcome.dataOutLength, 0u);
    EXPECT_EQ(Attention(Path(1)), 0x2A03);
    EXPECT_EQ(Attention(Path(1)), 0);
    EXPECT_TRUE(Keys().empty());
    EXPECT_EQ(Attention(Foreign(0)), 0x2A04);
    EXPECT_EQ(Attention(Foreign(0)), 0x2A03);
    EXPECT_EQ(Attention(Path(0)), 0) << "the nexus that cleared";

    // A release of a Write Exclusive reservation tells nobody; the holder of a registrants-only
    // one unregistering tells the others; a repeat of a pending kind is not queued twice.
    Registered(Path(0), kKeyA);
    Registered(Path(1), kKeyB);
    ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x1).status(), kScsiGood);
    ASSERT_EQ(Release(model, kDevice, Path(0), kKeyA, 0x1).status(), kScsiGood);
    EXPECT_EQ(Attention(Path(1)), 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x5).status(), kScsiGood);
        ASSERT_EQ(Register(model, kDevice, Path(0), kKeyA, kZeroKey).status(), kScsiGood);
        Registered(Path(0), kKeyA);
    }
    EXPECT_EQ(Attention(Path(1)), 0x2A04);
    EXPECT_EQ(Attention(Path(1)), 0);
}

TEST_F(PreemptAndStatus, UnitAttentionsAreOffUnlessSwitchedOn) {
    ASSERT_TRUE(model.SetUnitAttentions(kDevice, false));
    EXPECT_FALSE(model.SetUnitAttentions(kDevice + 1, true));
    Registered(Path(0), kKeyA);
    Registered(Path(1), kKeyB);
    ASSERT_EQ(ClearAll(model, kDevice, Path(0), kKeyA).status(), kScsiGood);
    EXPECT_EQ(Attention(Path(1)), 0);
}

// Each quirk against the same disk without it: one short sequence from path 0 registered under key
// A, the one thing that differs.
TEST_F(PreemptAndStatus, EachQuirkDepartsFromTheSameSequenceInOneWay) {
    using Observed = std::vector<std::uint32_t>;
    const auto keys = [&] {  // each listed key by its last byte
        Observed seen;
        for (const Key& key : Keys()) {
            seen.push_back(key[7]);
        }
        return seen;
    };
    const auto met = [](const Reply& reply) {
        return Observed{reply.status(), reply.additionalSense()};
    };
    const std::uint32_t a = kKeyA[7], b = kKeyB[7], c = kKeyC[7];
    struct Case {
        std::uint32_t quirk;
        std::function<Observed()> play;
        Observed keeping, departing;
    };
    const Case cases[] = {
        {kQuirkAllRegistrantsOpen,
         [&] {
             Reserve(model, kDevice, Path(0), kKeyA, 0x8);
             const std::uint8_t read[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
             std::uint8_t block[512];
             return Observed{
                 model.Execute(kDevice, Path(2), read, 10, nullptr, 0, block, 512).status};
         },
         {kScsiReservationConflict},
         {kScsiGood}},
        {kQuirkFullStatusKeySwapped,
         [&] {
             const Reply status = ReserveIn(model, kDevice, Path(0), kReadFullStatus);
             return Observed{status.data.at(8), status.data.at(15)};
         },
         {kKeyA[0], kKeyA[7]},
         {kKeyA[7], kKeyA[0]}},
        {kQuirkNoUnitAttentions,
         [&] {
             Reserve(model, kDevice, Path(0), kKeyA);
             Registered(Path(1), kKeyB);
             Preempt(model, kDevice, Path(1), kKeyB, kKeyA);
             return Observed{Attention(Path(0))};
         },
         {0x2A05},
         {0}},
        // The reservation goes with the sender, and the registrant left hears of it.
        {kQuirkPreemptDropsOwn,
         [&] {
             Reserve(model, kDevice, Path(0), kKeyA);
             Registered(Path(1), kKeyA);
             Registered(Path(2), kKeyB);
             Preempt(model, kDevice, Path(1), kKeyA, kKeyA);
             Observed seen = keys();
             seen.insert(seen.end(), {Reservation().Be32(4), Attention(Path(2))});
             return seen;
         },
         {a, b, 16, 0},
         {b, 0, 0x2A04}},
        {kQuirkReserveAgainConflicts,
         [&] {
             Reserve(model, kDevice, Path(0), kKeyA);
             return met(Reserve(model, kDevice, Path(0), kKeyA));
         },
         {kScsiGood, 0},
         {kScsiReservationConflict, 0}},
        // Paths 0 and 1 are a pair, 1 and 2 are not; path 32 has no partner, nor has foreign
        // initiator 0, whose nexus follows it.
        {kQuirkRegisterOverwritesPartner,
         [&] {
             Registered(Path(1), kKeyB);
             Registered(Path(2), kKeyC);
             Registered(Foreign(0), kKeyA);
             Registered(Path(32), kKeyB);
             Register(model, kDevice, Foreign(0), kKeyA, kKeyC);
             return keys();
         },
         {a, b, c, c, b},
         {b, c, c, b}},
        {kQuirkGenerationStuck,
         [&] {
             Registered(Path(1), kKeyB);
             Preempt(model, kDevice, Path(0), kKeyA, kKeyB);
             ClearAll(model, kDevice, Path(0), kKeyA);
             return Observed{model.Generation(kDevice)};
         },
         {4},
         {2}},
        {kQuirkNoPreemptAbort,
         [&] {
             Registered(Path(1), kKeyB);
             Observed seen = met(Preempt(model, kDevice, Path(0), kKeyA, kKeyB, 0x6, 0x05));
             seen.push_back(Keys().size());
             return seen;
         },
         {kScsiGood, 0, 1},
         {kScsiCheckCondition, 0x2400, 2}},
    };
    std::uint32_t covered = 0;
    for (const Case& q : cases) {
        covered |= q.quirk;
        for (const bool with : {false, true}) {
            model.Clear();
            SetUp();
            ASSERT_TRUE(model.SetQuirks(kDevice, with ? q.quirk : 0));
            Registered(Path(0), kKeyA);
            EXPECT_EQ(q.play(), with ? q.departing : q.keeping)
                << "quirk bit " << q.quirk << (with ? " on" : " off");
        }
    }
    EXPECT_EQ(covered, kQuirksAll) << "a quirk without its case";
}

}  // namespace
}  // namespace vlksim::testing
