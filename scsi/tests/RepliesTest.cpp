#include <gtest/gtest.h>

#include "scsi/Replies.h"
#include "scsi/Sense.h"

namespace tessaly::scsi {
namespace {

using Data = std::vector<std::uint8_t>;

// A PERSISTENT RESERVE IN reply: generation 5, then the list with its ADDITIONAL LENGTH (which a
// test may make lie).
Data Reply(const Data& list, std::uint32_t additional) {
    Data data = {0,
                 0,
                 0,
                 5,
                 static_cast<std::uint8_t>(additional >> 24),
                 static_cast<std::uint8_t>(additional >> 16),
                 static_cast<std::uint8_t>(additional >> 8),
                 static_cast<std::uint8_t>(additional)};
    data.insert(data.end(), list.begin(), list.end());
    return data;
}
Data Reply(const Data& list) {
    return Reply(list, static_cast<std::uint32_t>(list.size()));
}

Data Keys(int count) {
    Data list;
    for (int i = 0; i < count; ++i) {
        list.insert(list.end(),
                    {'K', 'E', 'Y', '-', '0', '0', static_cast<std::uint8_t>('0' + i / 10),
                     static_cast<std::uint8_t>('0' + i % 10)});
    }
    return list;
}

TEST(Decode, ReadKeysWholeCutByTheAllocationLengthOrInconsistent) {
    auto whole = DecodeReadKeys(Reply(Keys(2)), 512);
    ASSERT_TRUE(whole.reply) << whole.problem;
    EXPECT_EQ(whole.reply->generation, 5u);
    ASSERT_EQ(whole.reply->keys.size(), 2u);
    EXPECT_EQ(whole.reply->keys[1][7], '1');
    EXPECT_EQ(whole.reply->notShown, 0u);

    // 70 keys on the device, 63 fit the data area: the rest are counted, not an error.
    Data full = Reply(Keys(70));
    full.resize(512);
    auto cut = DecodeReadKeys(full, 512);
    ASSERT_TRUE(cut.reply) << cut.problem;
    EXPECT_EQ(cut.reply->keys.size(), 63u);
    EXPECT_EQ(cut.reply->notShown, 7u);

    // The length says three keys but only two came back, though the allocation length allowed
    // them all: something lost them.
    EXPECT_FALSE(DecodeReadKeys(Reply(Keys(2), 24), 512).reply);
    EXPECT_FALSE(DecodeReadKeys(Reply(Keys(1), 12), 512).reply) << "not whole keys";
    EXPECT_FALSE(DecodeReadKeys(Data{0, 0, 0, 1, 0, 0}, 512).reply) << "shorter than the header";
    EXPECT_TRUE(DecodeReadKeys(Reply({}), 512).reply->keys.empty());
}

TEST(Decode, ReadReservationNoneOneOrBroken) {
    EXPECT_FALSE(DecodeReadReservation(Reply({}), 512).reply->held);
    Data descriptor = {'N', 'O', 'D', 'E', '-', 'B', '0', '1', 0, 0, 0, 0, 0, 0x06, 0, 0};
    const auto held = DecodeReadReservation(Reply(descriptor), 512);
    ASSERT_TRUE(held.reply) << held.problem;
    EXPECT_TRUE(held.reply->held);
    EXPECT_EQ(held.reply->key[7], '1');
    EXPECT_EQ(held.reply->type, 6);
    EXPECT_EQ(held.reply->scope, 0);
    EXPECT_FALSE(DecodeReadReservation(Reply(Data(8, 0)), 512).reply) << "half a descriptor";
    EXPECT_FALSE(DecodeReadReservation(Reply({}, 16), 512).reply) << "announced, not sent";
}

Data FullStatusDescriptor(char last, bool holder, const std::string& iscsiName) {
    Data d = {'N', 'O', 'D', 'E', '-', 'B', '0', static_cast<std::uint8_t>(last)};
    d.resize(24, 0);
    d[12] = holder ? 0x01 : 0x00;
    d[13] = holder ? 0x06 : 0x00;
    d[19] = 1;  // relative target port 1
    Data id = {0x05, 0, 0, 0};
    id.insert(id.end(), iscsiName.begin(), iscsiName.end());
    id.resize((id.size() + 1 + 3) / 4 * 4, 0);
    id[3] = static_cast<std::uint8_t>(id.size() - 4);
    d[23] = static_cast<std::uint8_t>(id.size());
    d.insert(d.end(), id.begin(), id.end());
    return d;
}

TEST(Decode, ReadFullStatusDescriptorsAndTheirTransportIds) {
    Data list = FullStatusDescriptor('1', true, "iqn.2026-12.sim:node-b");
    const Data second = FullStatusDescriptor('2', false, "iqn.2026-12.sim:node-c");
    list.insert(list.end(), second.begin(), second.end());
    const auto decoded = DecodeReadFullStatus(Reply(list), 512);
    ASSERT_TRUE(decoded.reply) << decoded.problem;
    ASSERT_EQ(decoded.reply->registrations.size(), 2u);
    const Registration& first = decoded.reply->registrations[0];
    EXPECT_TRUE(first.holder);
    EXPECT_EQ(first.type, 6);
    EXPECT_EQ(first.relativeTargetPort, 1);
    EXPECT_EQ(TransportIdText(first.transportId), "iSCSI name iqn.2026-12.sim:node-b");
    EXPECT_FALSE(decoded.reply->registrations[1].holder);

    // Cut by the allocation length after the first descriptor: what did not fit is counted.
    const Data whole = Reply(list);
    const auto cut = DecodeReadFullStatus(Data(whole.begin(), whole.begin() + 60), 60);
    ASSERT_TRUE(cut.reply) << cut.problem;
    EXPECT_EQ(cut.reply->registrations.size(), 1u);
    EXPECT_EQ(cut.reply->bytesNotShown, second.size());

    Data overrun = list;
    overrun[23] = 200;  // a descriptor longer than the whole list
    EXPECT_FALSE(DecodeReadFullStatus(Reply(overrun), 512).reply);
}

TEST(Decode, ReportCapabilitiesAsTgtAnswers) {
    const auto decoded =
        DecodeReportCapabilities(Data{0x00, 0x08, 0x00, 0x80, 0xEA, 0x01, 0, 0}, 512);
    ASSERT_TRUE(decoded.reply) << decoded.problem;
    EXPECT_TRUE(decoded.reply->typeMaskValid);
    EXPECT_FALSE(decoded.reply->persistThroughPowerLoss);
    EXPECT_EQ(decoded.reply->types, (std::vector<std::uint8_t>{1, 3, 5, 6, 7, 8}));
    EXPECT_FALSE(DecodeReportCapabilities(Data{0x00, 0x08, 0x00, 0x80}, 512).reply);
    EXPECT_FALSE(DecodeReportCapabilities(Data{0x00, 0x04, 0, 0, 0, 0, 0, 0}, 512).reply);
}

TEST(Decode, SenseInBothFormatsAndEveryNamedCode) {
    Data fixed(18, 0);
    fixed[0] = 0x70;
    fixed[2] = 0x06;
    fixed[7] = 10;
    fixed[12] = 0x2A;
    fixed[13] = 0x05;
    const auto ua = DecodeSense(fixed);
    ASSERT_TRUE(ua);
    EXPECT_EQ(SenseText(*ua), "UNIT ATTENTION, REGISTRATIONS PREEMPTED (2Ah/05h)");
    const auto descriptor = DecodeSense(Data{0x72, 0x05, 0x24, 0x00, 0, 0, 0, 0});
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(SenseText(*descriptor), "ILLEGAL REQUEST, INVALID FIELD IN CDB (24h/00h)");
    EXPECT_FALSE(DecodeSense(Data{0x70, 0, 5}));
    EXPECT_FALSE(DecodeSense(Data(18, 0)));

    const struct {
        std::uint8_t asc, ascq;
        const char* text;
    } named[] = {
        {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
        {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
        {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
        {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
        {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
        {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
        {0x26, 0x04, "INVALID RELEASE OF PERSISTENT RESERVATION"},
        {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
        {0x2A, 0x03, "RESERVATIONS PREEMPTED"},
        {0x2A, 0x04, "RESERVATIONS RELEASED"},
        {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
        {0x55, 0x04, "INSUFFICIENT REGISTRATION RESOURCES"},
        {0x2A, 0x7F, "additional sense 2Ah/7Fh"},
    };
    for (const auto& n : named) {
        EXPECT_EQ(AdditionalSenseText(n.asc, n.ascq), n.text);
    }
    EXPECT_STREQ(SenseKeyName(0x2), "NOT READY");
    EXPECT_EQ(StatusName(0x18), "RESERVATION CONFLICT");
    EXPECT_EQ(StatusName(0x22), "status 22h");
}

}  // namespace
}  // namespace tessaly::scsi
