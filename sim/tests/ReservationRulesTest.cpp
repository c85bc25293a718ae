// The persistent-reservation rules of the model, played at its SCSI layer.
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "sim/model/DiskModel.h"
#include "sim/tests/ScsiHelpers.h"

namespace vlksim::testing {
namespace {

class ReservationRules : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(model.AddDevice(kDevice));
        ASSERT_TRUE(model.AddPath(kDevice, 0));
        ASSERT_TRUE(model.AddPath(kDevice, 1));
        ASSERT_TRUE(model.AddPath(kDevice, 32));
    }

    std::vector<Key> Keys() {
        const Reply reply = ReserveIn(model, kDevice, Path(0), kReadKeys, 512, 512);
        EXPECT_EQ(reply.status(), kScsiGood);
        const std::vector<Key> keys = KeysIn(reply);
        EXPECT_EQ(reply.Be32(4), keys.size() * 8);
        return keys;
    }
    std::uint32_t Generation() { return ReserveIn(model, kDevice, Path(0), kReadKeys).Be32(0); }
    // The reservation as READ RESERVATION reports it: empty data past the header means none.
    Reply Reservation() { return ReserveIn(model, kDevice, Path(0), kReadReservation); }

    static constexpr std::uint32_t kDevice = 7;
    DiskModel model;
};

TEST_F(ReservationRules, RegisterFromAnUnregisteredNexus) {
    // A non-zero RESERVATION KEY from a nexus with no registration is refused.
    EXPECT_EQ(Register(model, kDevice, Path(0), kKeyB, kKeyA).status(), kScsiReservationConflict);
    EXPECT_EQ(Generation(), 0u);
    EXPECT_TRUE(Keys().empty());

    // Two zero keys: nothing at all happens, not even a new generation.
    EXPECT_EQ(Register(model, kDevice, Path(0), kZeroKey, kZeroKey).status(), kScsiGood);
    EXPECT_EQ(Generation(), 0u);
    EXPECT_TRUE(Keys().empty());

    EXPECT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    EXPECT_EQ(Generation(), 1u);
    EXPECT_EQ(Keys(), std::vector<Key>{kKeyA});
}

TEST_F(ReservationRules, RegisterFromARegisteredNexus) {
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    // A key other than the registered one, zero included, is a conflict and changes nothing.
    EXPECT_EQ(Register(model, kDevice, Path(0), kKeyB, kKeyC).status(), kScsiReservationConflict);
    EXPECT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyC).status(),
              kScsiReservationConflict);
    EXPECT_EQ(Generation(), 1u);
    EXPECT_EQ(Keys(), std::vector<Key>{kKeyA});

    EXPECT_EQ(Register(model, kDevice, Path(0), kKeyA, kKeyB).status(), kScsiGood);
    EXPECT_EQ(Generation(), 2u);
    EXPECT_EQ(Keys(), std::vector<Key>{kKeyB});

    EXPECT_EQ(Register(model, kDevice, Path(0), kKeyB, kZeroKey).status(), kScsiGood);
    EXPECT_EQ(Generation(), 3u);
    EXPECT_TRUE(Keys().empty());
}

TEST_F(ReservationRules, RegisterAndIgnoreExistingKeyTakesAnyReservationKey) {
    OutCommand command{.action = 0x06, .reservationKey = kKeyC, .serviceActionKey = kKeyA};
    EXPECT_EQ(ReserveOut(model, kDevice, Path(1), command).status(), kScsiGood);
    command.serviceActionKey = kKeyB;
    EXPECT_EQ(ReserveOut(model, kDevice, Path(1), command).status(), kScsiGood);
    EXPECT_EQ(Keys(), std::vector<Key>{kKeyB});
    command.serviceActionKey = kZeroKey;
    EXPECT_EQ(ReserveOut(model, kDevice, Path(1), command).status(), kScsiGood);
    EXPECT_TRUE(Keys().empty());
    EXPECT_EQ(Generation(), 3u);
}

TEST_F(ReservationRules, ReadKeysListsInRegistrationOrderAndKeepsDuplicates) {
    ASSERT_EQ(Register(model, kDevice, Foreign(3), kZeroKey, kKeyC).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(32), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    // A key change keeps the nexus's place in the list.
    ASSERT_EQ(Register(model, kDevice, Foreign(3), kKeyC, kKeyB).status(), kScsiGood);
    EXPECT_EQ(Keys(), (std::vector<Key>{kKeyB, kKeyA, kKeyA}));
    ASSERT_EQ(Register(model, kDevice, Path(32), kKeyA, kZeroKey).status(), kScsiGood);
    EXPECT_EQ(Keys(), (std::vector<Key>{kKeyB, kKeyA}));
}

TEST_F(ReservationRules, ReadKeysLengthIsNotCutByTheAllocationLength) {
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyB).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Foreign(0), kZeroKey, kKeyC).status(), kScsiGood);

    const Reply reply = ReserveIn(model, kDevice, Path(1), kReadKeys, 24);
    ASSERT_EQ(reply.status(), kScsiGood);
    ASSERT_EQ(reply.data.size(), 24u);
    EXPECT_EQ(reply.Be32(0), 3u);
    EXPECT_EQ(reply.Be32(4), 24u);  // three keys, though only two fit
    EXPECT_EQ(reply.KeyAt(8), kKeyA);
    EXPECT_EQ(reply.KeyAt(16), kKeyB);

    // Less room for data-in than the allocation length: the transfer stops there.
    const Reply shorter = ReserveIn(model, kDevice, Path(1), kReadKeys, 24, 12);
    ASSERT_EQ(shorter.data.size(), 12u);
    EXPECT_EQ(shorter.Be32(4), 24u);
    // An allocation length below the header is no error, only a shorter transfer.
    const Reply tiny = ReserveIn(model, kDevice, Path(1), kReadKeys, 3);
    EXPECT_EQ(tiny.status(), kScsiGood);
    EXPECT_EQ(tiny.data, (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_EQ(ReserveIn(model, kDevice, Path(1), kReadKeys, 0).data.size(), 0u);
}

TEST_F(ReservationRules, ReadReservationReportsTheHolderKeyScopeAndType) {
    Reply none = Reservation();
    ASSERT_EQ(none.data.size(), 8u);
    EXPECT_EQ(none.Be32(4), 0u);

    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyB).status(), kScsiGood);
    ASSERT_EQ(Reserve(model, kDevice, Path(1), kKeyB, 0x5).status(), kScsiGood);
    const Reply held = Reservation();
    ASSERT_EQ(held.data.size(), 24u);
    EXPECT_EQ(held.Be32(0), 2u);
    EXPECT_EQ(held.Be32(4), 16u);
    EXPECT_EQ(held.KeyAt(8), kKeyB);
    EXPECT_EQ(held.Be32(16), 0u);  // scope-specific address
    EXPECT_EQ(held.data[20], 0u);
    EXPECT_EQ(held.data[21], 0x05);
    EXPECT_EQ(held.data[22], 0u);
    EXPECT_EQ(held.data[23], 0u);

    // The holder's new key shows at once.
    ASSERT_EQ(Register(model, kDevice, Path(1), kKeyB, kKeyC).status(), kScsiGood);
    EXPECT_EQ(Reservation().KeyAt(8), kKeyC);
}

TEST_F(ReservationRules, ReserveNeedsARegisteredNexusWithItsOwnKey) {
    EXPECT_EQ(Reserve(model, kDevice, Path(0), kZeroKey).status(), kScsiReservationConflict);
    EXPECT_EQ(Reserve(model, kDevice, Path(0), kKeyA).status(), kScsiReservationConflict);
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    EXPECT_EQ(Reserve(model, kDevice, Path(0), kKeyB).status(), kScsiReservationConflict);
    EXPECT_EQ(Reservation().Be32(4), 0u);

    EXPECT_EQ(Reserve(model, kDevice, Path(0), kKeyA).status(), kScsiGood);
    EXPECT_EQ(Reservation().data.at(21), 0x06);
    EXPECT_EQ(Generation(), 1u);  // RESERVE leaves the generation alone
}

TEST_F(ReservationRules, ReserveAgainstAnExistingReservation) {
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyB).status(), kScsiGood);
    ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x6).status(), kScsiGood);

    // The holder again, same type and scope: GOOD, no change.
    EXPECT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x6).status(), kScsiGood);
    // The holder with another type: conflict, the reservation stays as it was.
    EXPECT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x3).status(), kScsiReservationConflict);
    // A registrant of a registrants-only reservation is not its holder.
    EXPECT_EQ(Reserve(model, kDevice, Path(1), kKeyB, 0x6).status(), kScsiReservationConflict);
    const Reply reservation = Reservation();
    EXPECT_EQ(reservation.KeyAt(8), kKeyA);
    EXPECT_EQ(reservation.data.at(21), 0x06);
    EXPECT_EQ(Generation(), 2u);
}

TEST_F(ReservationRules, EveryRegistrantHoldsAnAllRegistrantsReservation) {
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyB).status(), kScsiGood);
    ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x8).status(), kScsiGood);
    EXPECT_EQ(Reserve(model, kDevice, Path(1), kKeyB, 0x8).status(), kScsiGood);
    EXPECT_EQ(Reserve(model, kDevice, Path(1), kKeyB, 0x7).status(), kScsiReservationConflict);
    // The reservation key reported for it is zero.
    Reply reservation = Reservation();
    EXPECT_EQ(reservation.KeyAt(8), kZeroKey);
    EXPECT_EQ(reservation.data.at(21), 0x08);

    // The one who reserved leaves: the others still hold it.
    ASSERT_EQ(Register(model, kDevice, Path(0), kKeyA, kZeroKey).status(), kScsiGood);
    EXPECT_EQ(Reservation().Be32(4), 16u);
    // The last registrant leaves: gone.
    ASSERT_EQ(Register(model, kDevice, Path(1), kKeyB, kZeroKey).status(), kScsiGood);
    EXPECT_EQ(Reservation().Be32(4), 0u);
    EXPECT_EQ(Generation(), 4u);
}

TEST_F(ReservationRules, UnregisteringTheHolderReleasesTheReservation) {
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyB).status(), kScsiGood);
    ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x5).status(), kScsiGood);
    // A registrant that does not hold it leaves: the reservation stays.
    ASSERT_EQ(Register(model, kDevice, Path(1), kKeyB, kZeroKey).status(), kScsiGood);
    EXPECT_EQ(Reservation().Be32(4), 16u);
    ASSERT_EQ(Register(model, kDevice, Path(0), kKeyA, kZeroKey).status(), kScsiGood);
    EXPECT_EQ(Reservation().Be32(4), 0u);
    EXPECT_EQ(Generation(), 4u);  // one step per registration change, no more
}

TEST_F(ReservationRules, ReleaseRules) {
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyB).status(), kScsiGood);
    // Nothing reserved: GOOD. A wrong key or no registration: conflict.
    EXPECT_EQ(Release(model, kDevice, Path(1), kKeyB).status(), kScsiGood);
    EXPECT_EQ(Release(model, kDevice, Path(1), kKeyA).status(), kScsiReservationConflict);
    EXPECT_EQ(Release(model, kDevice, Path(32), kZeroKey).status(), kScsiReservationConflict);

    ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA, 0x3).status(), kScsiGood);
    // Not the holder: GOOD, the reservation stays.
    EXPECT_EQ(Release(model, kDevice, Path(1), kKeyB, 0x3).status(), kScsiGood);
    EXPECT_EQ(Reservation().Be32(4), 16u);
    // The holder naming another type.
    const Reply wrongType = Release(model, kDevice, Path(0), kKeyA, 0x1);
    EXPECT_EQ(wrongType.status(), kScsiCheckCondition);
    EXPECT_EQ(wrongType.senseKey(), 0x05);
    EXPECT_EQ(wrongType.additionalSense(), 0x2604);
    EXPECT_EQ(Reservation().Be32(4), 16u);

    EXPECT_EQ(Release(model, kDevice, Path(0), kKeyA, 0x3).status(), kScsiGood);
    EXPECT_EQ(Reservation().Be32(4), 0u);
    EXPECT_EQ(Keys().size(), 2u);
    EXPECT_EQ(Generation(), 2u);
}

TEST_F(ReservationRules, ClearRemovesEveryRegistrationOfEveryHost) {
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Foreign(7), kZeroKey, kKeyB).status(), kScsiGood);
    ASSERT_EQ(Reserve(model, kDevice, Foreign(7), kKeyB).status(), kScsiGood);

    // Unregistered, or with a key that is not the nexus's own: conflict, nothing changes.
    EXPECT_EQ(ClearAll(model, kDevice, Path(1), kZeroKey).status(), kScsiReservationConflict);
    EXPECT_EQ(ClearAll(model, kDevice, Path(0), kKeyB).status(), kScsiReservationConflict);
    EXPECT_EQ(Keys().size(), 2u);
    EXPECT_EQ(Generation(), 2u);

    EXPECT_EQ(ClearAll(model, kDevice, Path(0), kKeyA).status(), kScsiGood);
    EXPECT_TRUE(Keys().empty());
    EXPECT_EQ(Reservation().Be32(4), 0u);
    EXPECT_EQ(Generation(), 3u);
    // The cleared nexuses start again from scratch.
    EXPECT_EQ(Register(model, kDevice, Foreign(7), kKeyB, kKeyC).status(),
              kScsiReservationConflict);
    EXPECT_EQ(Register(model, kDevice, Foreign(7), kZeroKey, kKeyC).status(), kScsiGood);
    EXPECT_EQ(Keys(), std::vector<Key>{kKeyC});
}

TEST_F(ReservationRules, TheProgramsClearFromASecondPathWithTheHoldersKey) {
    // Path 0 registers and reserves; path 1, registered with another key, reads the keys and
    // sends the holder's key back in a CLEAR: that is not path 1's key.
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA).status(), kScsiGood);
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyB).status(), kScsiGood);
    const Key read = ReserveIn(model, kDevice, Path(1), kReadKeys).KeyAt(8);
    ASSERT_EQ(read, kKeyA);
    EXPECT_EQ(ClearAll(model, kDevice, Path(1), read).status(), kScsiReservationConflict);
    EXPECT_EQ(Keys().size(), 2u);
    EXPECT_EQ(ClearAll(model, kDevice, Path(1), kKeyB).status(), kScsiGood);
    EXPECT_TRUE(Keys().empty());
}

TEST_F(ReservationRules, MalformedCommandsGiveIllegalRequest) {
    struct Case {
        const char* what;
        OutCommand command;
        std::uint16_t additionalSense;
        std::uint32_t taken;
    };
    const Case cases[] = {
        {"unknown service action", {.action = 0x09}, 0x2400, 0},
        {"register and move", {.action = 0x07}, 0x2400, 0},
        {"list length 0", {.action = 0x00, .listLength = 0}, 0x1A00, 0},
        {"list length 23", {.action = 0x00, .listLength = 23}, 0x1A00, 0},
        {"list length 25", {.action = 0x03, .listLength = 25}, 0x1A00, 0},
        {"list length 2^24+24", {.action = 0x00, .listLength = 0x01000018}, 0x1A00, 0},
        {"reserve scope 1", {.action = 0x01, .scopeType = 0x16}, 0x2400, 0},
        {"reserve type 0", {.action = 0x01, .scopeType = 0x00}, 0x2400, 0},
        {"reserve type 2", {.action = 0x01, .scopeType = 0x02}, 0x2400, 0},
        {"reserve type 4", {.action = 0x01, .scopeType = 0x04}, 0x2400, 0},
        {"reserve type 9", {.action = 0x01, .scopeType = 0x09}, 0x2400, 0},
        {"release type F", {.action = 0x02, .scopeType = 0x0F}, 0x2400, 0},
        {"short data-out", {.action = 0x00, .transfer = 23}, 0x1A00, 23},
        {"register APTPL", {.action = 0x00, .flags = 0x01}, 0x2600, 24},
        {"register ALL_TG_PT", {.action = 0x00, .flags = 0x04}, 0x2400, 24},
        {"register SPEC_I_PT", {.action = 0x06, .flags = 0x08}, 0x2400, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Reply reply = ReserveOut(model, kDevice, Path(0), c.command);
        EXPECT_EQ(reply.status(), kScsiCheckCondition);
        EXPECT_EQ(reply.outcome.senseLength, 18u);
        EXPECT_EQ(reply.outcome.sense[0], 0x70);
        EXPECT_EQ(reply.senseKey(), 0x05);
        EXPECT_EQ(reply.outcome.sense[7], 10);
        EXPECT_EQ(reply.additionalSense(), c.additionalSense);
        EXPECT_EQ(reply.outcome.dataOutLength, c.taken);
    }
    // REGISTER and CLEAR ignore scope and type altogether.
    EXPECT_EQ(ReserveOut(model, kDevice, Path(0),
                         {.action = 0x00, .scopeType = 0xFF, .serviceActionKey = kKeyA})
                  .status(),
              kScsiGood);
    EXPECT_EQ(ReserveOut(model, kDevice, Path(0),
                         {.action = 0x03, .scopeType = 0x9F, .reservationKey = kKeyA})
                  .status(),
              kScsiGood);
    // Unknown PERSISTENT RESERVE IN service action, unknown operation code.
    const Reply in = ReserveIn(model, kDevice, Path(0), 0x1F);
    EXPECT_EQ(in.status(), kScsiCheckCondition);
    EXPECT_EQ(in.additionalSense(), 0x2400);
    EXPECT_EQ(in.data.size(), 0u);
    const std::uint8_t unknown[10] = {0xC7};
    const DiskModel::ScsiOutcome opcode =
        model.Execute(kDevice, Path(0), unknown, 10, nullptr, 0, nullptr, 0);
    EXPECT_EQ(opcode.status, kScsiCheckCondition);
    EXPECT_EQ(opcode.sense[12], 0x20);
    EXPECT_EQ(Generation(), 2u);
}

TEST_F(ReservationRules, AnAbsentDeviceOrPathIsNotSupported) {
    const std::uint8_t cdb[10] = {0x5E, 0, 0, 0, 0, 0, 0, 0, 24, 0};
    std::uint8_t data[24] = {};
    for (const auto& [device, nexus] :
         {std::pair{kDevice, Path(2)}, std::pair{kDevice, Path(33)}, std::pair{kDevice, Foreign(8)},
          std::pair{8u, Path(0)}, std::pair{101u, Foreign(0)}}) {
        const auto outcome = model.Execute(device, nexus, cdb, 10, nullptr, 0, data, 24);
        EXPECT_EQ(outcome.status, kScsiCheckCondition);
        EXPECT_EQ(outcome.sense[12], 0x25);
        EXPECT_EQ(outcome.dataInLength, 0u);
    }
}

// Which nexus may read and write the medium under each kind of reservation: the holder always;
// the others as the type says, for READ(10) and READ(16) alike. PERSISTENT RESERVE IN and OUT are
// never in conflict.
TEST_F(ReservationRules, MediumAccessUnderEachReservationType) {
    ASSERT_EQ(Register(model, kDevice, Path(0), kZeroKey, kKeyA).status(), kScsiGood);  // holder
    ASSERT_EQ(Register(model, kDevice, Path(1), kZeroKey, kKeyB).status(), kScsiGood);  // member
    const std::uint8_t read[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const std::uint8_t read16[16] = {0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
    const std::uint8_t write[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    std::vector<std::uint8_t> buffer(512, 0x55);
    auto access = [&](DiskModel::Nexus nexus, const std::uint8_t* cdb) {
        const std::uint32_t length = cdb[0] == 0x88 ? 16 : 10;
        return model.Execute(kDevice, nexus, cdb, length, buffer.data(), 512, buffer.data(), 512)
            .status;
    };
    struct Expectation {
        std::uint8_t type;
        bool memberReads, memberWrites, strangerReads, strangerWrites;
    };
    const Expectation table[] = {
        {0x1, true, false, true, false}, {0x3, false, false, false, false},
        {0x5, true, true, true, false},  {0x6, true, true, false, false},
        {0x7, true, true, true, false},  {0x8, true, true, false, false},
    };
    constexpr auto ok = [](bool allowed) { return allowed ? kScsiGood : kScsiReservationConflict; };
    for (const Expectation& e : table) {
        SCOPED_TRACE(static_cast<int>(e.type));
        ASSERT_EQ(Reserve(model, kDevice, Path(0), kKeyA, e.type).status(), kScsiGood);
        EXPECT_EQ(access(Path(0), read), kScsiGood);
        EXPECT_EQ(access(Path(0), write), kScsiGood);
        EXPECT_EQ(access(Path(1), read), ok(e.memberReads));
        EXPECT_EQ(access(Path(1), read16), ok(e.memberReads));
        EXPECT_EQ(access(Path(1), write), ok(e.memberWrites));
        EXPECT_EQ(access(Path(32), read), ok(e.strangerReads));
        EXPECT_EQ(access(Path(32), read16), ok(e.strangerReads));
        EXPECT_EQ(access(Path(32), write), ok(e.strangerWrites));
        EXPECT_EQ(ReserveIn(model, kDevice, Path(32), kReadKeys).status(), kScsiGood);
        EXPECT_EQ(Register(model, kDevice, Path(32), kZeroKey, kZeroKey).status(), kScsiGood);
        ASSERT_EQ(Release(model, kDevice, Path(0), kKeyA, e.type).status(), kScsiGood);
    }
    // Reads give zeros, no further than the room offered.
    std::vector<std::uint8_t> small(600, 0x55);
    const auto outcome = model.Execute(kDevice, Path(32), read, 10, nullptr, 0, small.data(), 100);
    EXPECT_EQ(outcome.dataInLength, 100u);
    EXPECT_EQ(small[99], 0);
    EXPECT_EQ(small[100], 0x55);
    const std::uint8_t beyond[10] = {0x28, 0, 0, 0, 0x07, 0xFF, 0, 0, 2, 0};  // LBA 2047, 2 blocks
    EXPECT_EQ(model.Execute(kDevice, Path(0), beyond, 10, nullptr, 0, small.data(), 600).sense[12],
              0x21);
    // READ(16) takes all eight bytes of the address and all four of the length, and their sum
    // does not wrap around; 12 bytes are too short a command block for it.
    struct Read16 {
        std::uint64_t lba;
        std::uint32_t blocks, cdbLength;
        std::uint16_t sense;
    };
    for (const Read16& c :
         {Read16{2047, 1, 16, 0}, Read16{1ULL << 32, 1, 16, 0x2100}, Read16{~0ULL, 2, 16, 0x2100},
          Read16{0, 0x10001, 16, 0x2100}, Read16{0, 1, 12, 0x2400}}) {
        std::uint8_t cdb[16] = {0x88};
        for (int i = 0; i < 8; ++i) {
            cdb[9 - i] = static_cast<std::uint8_t>(c.lba >> 8 * i);
            cdb[13 - i % 4] = static_cast<std::uint8_t>(c.blocks >> 8 * (i % 4));
        }
        const auto sixteen =
            model.Execute(kDevice, Path(1), cdb, c.cdbLength, nullptr, 0, small.data(), 600);
        EXPECT_EQ(sixteen.sense[12] << 8 | sixteen.sense[13], c.sense) << c.lba << "+" << c.blocks;
    }
}

TEST(DiskModelSetUp, NumbersCapacityAndPresence) {
    DiskModel model;
    EXPECT_FALSE(model.AddDevice(101));
    EXPECT_FALSE(model.AddPath(5, 0));  // device absent
    EXPECT_FALSE(model.SetQuirks(5, kQuirkGenerationStuck));
    ASSERT_TRUE(model.AddDevice(100));
    EXPECT_TRUE(model.AddDevice(100));
    EXPECT_FALSE(model.AddPath(100, 33));
    ASSERT_TRUE(model.AddPath(100, 32));
    EXPECT_FALSE(model.AddPathRegistration(100, 31, kKeyA.data()));  // path absent
    EXPECT_FALSE(model.AddPathRegistration(100, 32, kZeroKey.data()));
    EXPECT_FALSE(model.AddForeignRegistration(100, 8, kKeyA.data()));
    EXPECT_FALSE(model.ReservePath(100, 32, 0x6));  // not registered
    ASSERT_TRUE(model.AddPathRegistration(100, 32, kKeyA.data()));
    ASSERT_TRUE(model.AddForeignRegistration(100, 7, kKeyB.data()));
    EXPECT_FALSE(model.ReservePath(100, 32, 0x2));
    ASSERT_TRUE(model.ReserveForeign(100, 7, 0x3));
    EXPECT_EQ(model.Generation(100), 0u);

    const Reply keys = ReserveIn(model, 100, Path(32), 0x00);
    EXPECT_EQ(keys.Be32(4), 16u);
    EXPECT_EQ(keys.KeyAt(8), kKeyA);
    EXPECT_EQ(keys.KeyAt(16), kKeyB);
    const Reply reservation = ReserveIn(model, 100, Path(32), 0x01);
    EXPECT_EQ(reservation.KeyAt(8), kKeyB);
    EXPECT_EQ(reservation.data.at(21), 0x03);
    // A registration made at set-up replaces the key, keeping the place.
    ASSERT_TRUE(model.AddPathRegistration(100, 32, kKeyC.data()));
    EXPECT_EQ(ReserveIn(model, 100, Path(32), 0x00).KeyAt(8), kKeyC);

    EXPECT_FALSE(model.SetQuirks(100, kQuirksAll + 1));
    ASSERT_TRUE(model.SetQuirks(100, kQuirksAll));

    model.Clear();
    EXPECT_FALSE(model.HasDevice(100));
    ASSERT_TRUE(model.AddDevice(100));
    EXPECT_EQ(model.Quirks(100), 0u);
    EXPECT_FALSE(model.HasPath(100, 32));
    EXPECT_EQ(ReserveIn(model, 100, Foreign(0), 0x00).Be32(4), 0u);
}

// The driver keeps its model in a global without start-up code: constant initialisation must be
// possible and all-zero storage must be the empty model.
constinit DiskModel gStaticModel;

TEST(DiskModelSetUp, ZeroStorageIsTheEmptyModel) {
    static_assert(std::is_trivially_copyable_v<DiskModel>);
    auto* model = new DiskModel;
    ASSERT_TRUE(model->AddDevice(4));
    ASSERT_TRUE(model->AddPath(4, 2));
    ASSERT_TRUE(model->AddPathRegistration(4, 2, kKeyA.data()));
    std::memset(static_cast<void*>(model), 0, sizeof(DiskModel));
    EXPECT_FALSE(model->HasDevice(4));
    ASSERT_TRUE(model->AddDevice(4));
    ASSERT_TRUE(model->AddPath(4, 2));
    EXPECT_EQ(ReserveIn(*model, 4, Path(2), 0x00).Be32(4), 0u);
    EXPECT_EQ(ReserveIn(*model, 4, Path(2), 0x01).Be32(4), 0u);
    delete model;
    EXPECT_FALSE(gStaticModel.HasDevice(0));
}

TEST(DiskModelSetUp, DevicesKeepSeparateState) {
    DiskModel model;
    for (std::uint32_t device : {0u, 1u}) {
        ASSERT_TRUE(model.AddDevice(device));
        ASSERT_TRUE(model.AddPath(device, 0));
    }
    ASSERT_EQ(Register(model, 0, Path(0), kZeroKey, kKeyA).status(), kScsiGood);
    EXPECT_EQ(model.Generation(0), 1u);
    EXPECT_EQ(model.Generation(1), 0u);
    EXPECT_EQ(ReserveIn(model, 1, Path(0), 0x00).Be32(4), 0u);
    EXPECT_EQ(Register(model, 1, Path(0), kKeyA, kKeyB).status(), kScsiReservationConflict);
}

}  // namespace
}  // namespace vlksim::testing
