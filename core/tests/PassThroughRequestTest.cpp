#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "core/Commands.h"
#include "core/PassThroughRequest.h"

namespace tessaly {
namespace {

std::vector<std::uint8_t> BytesOf(const PassThroughRequest& request) {
    return {request.Bytes(), request.Bytes() + PassThroughRequest::kSize};
}

// Builds the request in storage that already holds `filler` everywhere, so that any byte the
// build forgets shows up.
std::vector<std::uint8_t> BuildOver(std::uint8_t filler, Command command, std::uint32_t device,
                                    std::uint32_t path, const CurrentKey& key) {
    alignas(PassThroughRequest) unsigned char storage[sizeof(PassThroughRequest)];
    std::memset(storage, filler, sizeof storage);
    auto* request =
        new (storage) PassThroughRequest(BuildCommandRequest(command, device, path, key));
    return BytesOf(*request);
}

TEST(PassThroughRequest, ReadKeysForDevice2Path1IsExactlyTheDocumentedRecord) {
    const std::array<std::uint8_t, 64> expected = {
        0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x38, 0x00, 0x00, 0x00, 0x01,
        0x00, 0x0A, 0x18, 0x01, 0x00, 0x00, 0x00, 0x3C, 0x00, 0x00, 0x00, 0x02, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x3C, 0x00, 0x00, 0x00, 0x5E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    };
    const auto bytes = BytesOf(BuildCommandRequest(Command::ReadKeys, 2, 1, CurrentKey{}));
    ASSERT_EQ(bytes.size(), 616u);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(bytes[i], expected[i]) << "offset " << i;
    }
    for (std::size_t i = expected.size(); i < bytes.size(); ++i) {
        ASSERT_EQ(bytes[i], 0) << "offset " << i;
    }
}

TEST(PassThroughRequest, NumbersAreLittleEndianAtTheStart) {
    const auto high = BytesOf(BuildCommandRequest(Command::ReadKeys, 100, 32, CurrentKey{}));
    EXPECT_EQ((std::vector<std::uint8_t>(high.begin(), high.begin() + 8)),
              (std::vector<std::uint8_t>{0x64, 0, 0, 0, 0x20, 0, 0, 0}));
    const auto wide =
        BytesOf(BuildCommandRequest(Command::ReadKeys, 0x04030201, 0x08070605, CurrentKey{}));
    EXPECT_EQ((std::vector<std::uint8_t>(wide.begin(), wide.begin() + 8)),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    const auto zero = BytesOf(BuildCommandRequest(Command::ReadKeys, 0, 0, CurrentKey{}));
    EXPECT_EQ((std::vector<std::uint8_t>(zero.begin(), zero.begin() + 8)),
              (std::vector<std::uint8_t>(8, 0)));
}

TEST(PassThroughRequest, BuildSetsEveryByteWhateverTheStorageHeld) {
    CurrentKey key;
    for (int c = 0; c < kListCommandCount; ++c) {
        const auto command = static_cast<Command>(c);
        EXPECT_EQ(BuildOver(0x00, command, 7, 3, key), BuildOver(0xCC, command, 7, 3, key))
            << "command " << c;
        EXPECT_EQ(BuildOver(0xFF, command, 7, 3, key), BuildOver(0x5A, command, 7, 3, key))
            << "command " << c;
    }
}

TEST(PassThroughRequest, ReplyFieldsAreReadFromTheirOffsets) {
    auto request = BuildCommandRequest(Command::ReadKeys, 1, 1, CurrentKey{});
    EXPECT_EQ(request.DataTransferLength(), 60u);
    std::uint8_t* out = request.OutputArea();
    EXPECT_EQ(out, request.Bytes() + 8);
    out[2] = 0x18;   // ScsiStatus, request offset 10
    out[12] = 0x10;  // DataTransferLength, offset 20..23
    out[13] = 0x32;
    out[14] = 0x54;
    out[15] = 0x76;
    out[92] = 0xAB;  // data byte 0, offset 100
    EXPECT_EQ(request.ScsiStatus(), 0x18);
    EXPECT_EQ(request.DataTransferLength(), 0x76543210u);
    EXPECT_EQ(request.DataArea()[0], 0xAB);
    EXPECT_EQ(request.DataArea().size(), 512u);
}

TEST(PassThroughRequest, ControlCodeIsComposedByTheCtlCodeRule) {
    static_assert(IOCTL_PATH_PASS_THROUGH == 0x84C9C190u);
    EXPECT_EQ(ComposeControlCode(0x22, 0x800, 0, 0), 0x00222000u);  // a well-known platform code
}

}  // namespace
}  // namespace tessaly
