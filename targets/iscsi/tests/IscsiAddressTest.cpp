#include <gtest/gtest.h>

#include "targets/iscsi/IscsiAddress.h"
#include "targets/iscsi/IscsiIdentity.h"

namespace tessaly::targets {
namespace {

using Luns = std::vector<std::uint16_t>;

TEST(IscsiAddress, AcceptedAddresses) {
    const struct {
        const char* text;
        IscsiAddress address;
    } cases[] = {
        {"iscsi://127.0.0.1/iqn.2026-12.org.tessaly:private/1",
         {"", "", "127.0.0.1", 3260, "iqn.2026-12.org.tessaly:private", Luns{1}}},
        {"ISCSI://alice%s3cr%t@Storage-1.example.com:3261/iqn.x%3ay/0-2,7,1,0007",
         {"alice", "s3cr%t", "Storage-1.example.com", 3261, "iqn.x:y", Luns{0, 1, 2, 7}}},
        {"iscsi://a%b@c@[fe80::1:2]:03262/eui.0123456789ABCDEF/16383,256-257",
         {"a", "b@c", "fe80::1:2", 3262, "eui.0123456789ABCDEF", Luns{16383, 256, 257}}},
        {"iscsi://u@[::ffff:10.0.0.1]/naa.60/01/5",
         {"u", "", "::ffff:10.0.0.1", 3260, "naa.60/01", Luns{5}}},
    };
    for (const auto& c : cases) {
        const ParsedAddress parsed = ParseIscsiAddress(c.text);
        ASSERT_TRUE(parsed.ok) << c.text << ": " << parsed.error.message;
        EXPECT_EQ(parsed.address, c.address) << c.text;
    }
}

TEST(IscsiAddress, SyntaxErrorsNameThePart) {
    const std::string longName(kMaxIscsiNameLength + 1, 'n');
    const std::pair<std::string, AddressPart> cases[] = {
        {"http://h/t/1", AddressPart::Scheme},
        {"iscsi:/h/t/1", AddressPart::Scheme},
        {"iscsi://@h/t/1", AddressPart::User},
        {"iscsi://%pw@h/t/1", AddressPart::User},
        {"iscsi://u%@h/t/1", AddressPart::Password},
        {"iscsi:///t/1", AddressPart::Host},
        {"iscsi://-h/t/1", AddressPart::Host},
        {"iscsi://h..x/t/1", AddressPart::Host},
        {"iscsi://300.1.1.1/t/1", AddressPart::Host},
        {"iscsi://1.2.3/t/1", AddressPart::Host},
        {"iscsi://fe80::1/t/1", AddressPart::Port},
        {"iscsi://[fe80::1::2]/t/1", AddressPart::Host},
        {"iscsi://[1:2:3:4:5:6:7:8:9]/t/1", AddressPart::Host},
        {"iscsi://[::1/t/1", AddressPart::Host},
        {"iscsi://[::1]x/t/1", AddressPart::Host},
        {"iscsi://h:/t/1", AddressPart::Port},
        {"iscsi://h:0/t/1", AddressPart::Port},
        {"iscsi://h:65536/t/1", AddressPart::Port},
        {"iscsi://h:32x/t/1", AddressPart::Port},
        {"iscsi://h", AddressPart::TargetName},
        {"iscsi://h//1", AddressPart::TargetName},
        {"iscsi://h/t%4/1", AddressPart::TargetName},
        {"iscsi://h/t%zz/1", AddressPart::TargetName},
        {"iscsi://h/t%00/1", AddressPart::TargetName},
        {"iscsi://h/a b/1", AddressPart::TargetName},
        {"iscsi://h/" + longName + "/1", AddressPart::TargetName},
        {"iscsi://h/t", AddressPart::Luns},
        {"iscsi://h/t/", AddressPart::Luns},
        {"iscsi://h/t/16384", AddressPart::Luns},
        {"iscsi://h/t/5-3", AddressPart::Luns},
        {"iscsi://h/t/1,,2", AddressPart::Luns},
        {"iscsi://h/t/1-", AddressPart::Luns},
        {"iscsi://h/t/1?header_digest=none", AddressPart::Luns},
    };
    for (const auto& [text, part] : cases) {
        const ParsedAddress parsed = ParseIscsiAddress(text);
        ASSERT_FALSE(parsed.ok) << text;
        EXPECT_EQ(parsed.error.part, part) << text << ": " << parsed.error.message;
        EXPECT_EQ(parsed.error.message.rfind(AddressPartName(part), 0), 0u) << parsed.error.message;
    }
}

TEST(IscsiAddress, WrittenBackWithoutCredentialsOneLunAtATime) {
    ParsedAddress parsed = ParseIscsiAddress("iscsi://alice%pw@[::1]/iqn.x%3Ay%25z%2F%C3%A9/3,9");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.address.targetName, "iqn.x:y%z/\xC3\xA9");
    const std::string written = FormatIscsiAddress(parsed.address, 9);
    EXPECT_EQ(written, "iscsi://[::1]:3260/iqn.x:y%25z%2F%C3%A9/9");

    const ParsedAddress again = ParseIscsiAddress(written);
    ASSERT_TRUE(again.ok) << again.error.message;
    parsed.address.user.clear();
    parsed.address.password.clear();
    parsed.address.luns = {9};
    EXPECT_EQ(again.address, parsed.address);
}

TEST(IscsiIdentity, InitiatorNames) {
    EXPECT_EQ(InitiatorNameFromFile("## generated\n#InitiatorName=iqn.old:x\n\n"
                                    "InitiatorName= iqn.1993-08.org.debian:01:abc \r\n"),
              "iqn.1993-08.org.debian:01:abc");
    EXPECT_EQ(InitiatorNameFromFile("# InitiatorName=iqn.x\nInitiatorName=\n"), std::nullopt);
    EXPECT_EQ(InitiatorNameForHost("Node_7.Example"), "iqn.2026-12.org.tessaly:node-7.example");
}

TEST(IscsiIdentity, IsidsDerivedOrTyped) {
    const Isid derived = IsidFromName("iqn.2026-12.org.tessaly:node-a");
    EXPECT_EQ(derived, IsidFromName("IQN.2026-12.ORG.TESSALY:NODE-A"));
    EXPECT_NE(derived, IsidFromName("iqn.2026-12.org.tessaly:node-b"));
    EXPECT_EQ(derived[0], 0x80) << "the random type, A zero";
    EXPECT_EQ(ParseIsid(IsidText(derived)).isid, derived);

    for (const char* good : {"0x00023d000001", "3f0000000000", "400000000001", "80ABCDEF0001"}) {
        EXPECT_TRUE(ParseIsid(good).ok) << good;
    }
    for (const char* bad : {"c00000000000", "410000000000", "810000000000", "00023d00001",
                            "00023d0000001", "00023d00000g", "0x", ""}) {
        const ParsedIsid parsed = ParseIsid(bad);
        EXPECT_FALSE(parsed.ok) << bad;
        EXPECT_FALSE(parsed.error.empty()) << bad;
    }
    EXPECT_EQ(InitiatorPortName("iqn.x", ParseIsid("80ABCDEF0001").isid), "iqn.x,i,0x80abcdef0001");
}

}  // namespace
}  // namespace tessaly::targets
