// The disk objects' SCSI pass-through on the disk model: which headers are refused, and where
// status, sense and data land.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/RequestLayout.h"
#include "sim/driver/ScsiPassThrough.h"

namespace vlkpath {
namespace {

namespace at = tessaly::block_offset;
using tessaly::LoadLe32;
using tessaly::StoreLe32;
using tessaly::StoreLe64;

constexpr std::uint8_t kKey[8] = {'N', 'O', 'D', 'E', '-', 'C', '0', '3'};

// A 64-bit caller's layout: header, sense (32 bytes) at 60, data at 96; READ KEYS of 512 bytes.
struct Call {
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(608, 0xEE);
    std::uint32_t input = 608, output = 608;
    bool direct = false;

    explicit Call(std::uint8_t direction, std::uint8_t opcode = 0x5E, std::uint8_t action = 0,
                  std::uint32_t transfer = 512) {
        std::fill_n(buffer.begin(), kScsiHeaderSize, 0);
        buffer[at::kLength] = kScsiHeaderSize;
        buffer[at::kCdbLength] = 10;
        buffer[at::kSenseInfoLength] = 32;
        buffer[at::kDataIn] = direction;
        StoreLe32(&buffer[at::kDataTransferLength], transfer);
        StoreLe64(&buffer[at::kDataBufferOffset], 96);
        StoreLe32(&buffer[at::kSenseInfoOffset], 60);
        const std::uint8_t cdb[10] = {opcode, action, 0, 0, 0, 0, 0, 0x02, 0x00, 0};
        std::copy(cdb, cdb + 10, &buffer[at::kCdb]);
    }
    bool Read(ScsiCall& call) const {
        return ReadScsiCall(direct, buffer.data(), input, output, call);
    }
};

TEST(ScsiPassThroughHeader, RefusedAsWindowsRefusesIt) {
    // Each case changes one thing of a call that is accepted, and says whether that is refused.
    struct Case {
        const char* what;
        void (*change)(Call&);
        bool refused;
    };
    const Case cases[] = {
        {"input under the header", [](Call& c) { c.input = 55; }, true},
        {"output under the header", [](Call& c) { c.output = 55; }, true},
        {"a 32-bit caller's header", [](Call& c) { c.buffer[at::kLength] = 44; }, true},
        {"CdbLength 5", [](Call& c) { c.buffer[at::kCdbLength] = 5; }, true},
        {"CdbLength 17", [](Call& c) { c.buffer[at::kCdbLength] = 17; }, true},
        {"DataIn 3", [](Call& c) { c.buffer[at::kDataIn] = 3; }, true},
        {"over 64 KiB", [](Call& c) { StoreLe32(&c.buffer[at::kDataTransferLength], 65540); },
         true},
        {"sense over the header", [](Call& c) { c.buffer[at::kSenseInfoOffset] = 40; }, true},
        {"sense past the output", [](Call& c) { c.output = 91; }, true},
        {"data over the header", [](Call& c) { c.buffer[at::kDataBufferOffset] = 52; }, true},
        {"data-in past the output", [](Call& c) { c.output = 607; }, true},
        {"data off the alignment", [](Call& c) { c.buffer[at::kDataBufferOffset] = 94; }, true},
        {"an offset that wraps",
         [](Call& c) { StoreLe64(&c.buffer[at::kDataBufferOffset], ~std::uint64_t{3}); }, true},
        {"data-out past the input", [](Call& c) { c.buffer[at::kDataIn] = 0, c.input = 600; },
         true},
        {"unspecified past the input", [](Call& c) { c.buffer[at::kDataIn] = 2, c.input = 600; },
         true},
        {"DIRECT without a pointer",
         [](Call& c) { c.direct = true, StoreLe64(&c.buffer[at::kDataBufferOffset], 0); }, true},
        {"DIRECT off the alignment",
         [](Call& c) { c.direct = true, StoreLe64(&c.buffer[at::kDataBufferOffset], 0x7FF2); },
         true},
        {"DIRECT: any aligned pointer, any length",
         [](Call& c) { c.direct = true, c.input = c.output = 92; }, false},
        {"data-out, output the header alone",
         [](Call& c) {
             c.buffer[at::kDataIn] = 0, c.buffer[at::kSenseInfoLength] = 0, c.output = 56;
         },
         false},
        {"no transfer: any offset",
         [](Call& c) { StoreLe32(&c.buffer[at::kDataTransferLength], 0), c.output = 92; }, false},
        {"no sense: any offset",
         [](Call& c) { c.buffer[at::kSenseInfoLength] = 0, c.buffer[at::kSenseInfoOffset] = 1; },
         false},
    };
    for (const Case& test : cases) {
        Call c(1);
        ScsiCall call{};
        ASSERT_TRUE(c.Read(call));
        test.change(c);
        EXPECT_EQ(c.Read(call), !test.refused) << test.what;
    }
}

TEST(ScsiPassThroughRun, StatusSenseAndDataLandWhereAsked) {
    vlksim::DiskModel model;
    ASSERT_TRUE(model.AddDevice(7) && model.AddPath(7, 1));
    ASSERT_TRUE(model.AddForeignRegistration(7, 5, kKey));
    const auto run = [&model](Call& c, std::uint8_t* direct = nullptr) {
        if (direct != nullptr) {
            c.direct = true;
            StoreLe64(&c.buffer[at::kDataBufferOffset], reinterpret_cast<std::uintptr_t>(direct));
        }
        ScsiCall call{};
        EXPECT_TRUE(c.Read(call));
        return RunScsiCall(model, 7, 1, call, c.buffer.data(),
                           direct != nullptr ? direct : c.buffer.data() + call.data);
    };

    // Data-in at its offset, DataTransferLength the bytes written; past the input, zeros.
    Call keys(1);
    keys.input = 92;
    EXPECT_EQ(run(keys), 96u + 16u);
    EXPECT_EQ(keys.buffer[at::kSenseInfoLength], 0) << "no sense written";
    EXPECT_EQ(LoadLe32(&keys.buffer[at::kDataTransferLength]), 16u);
    EXPECT_TRUE(std::equal(kKey, kKey + 8, &keys.buffer[104]));
    EXPECT_EQ(keys.buffer[112], 0);
    EXPECT_EQ(keys.buffer[91], 0xEE) << "the input is left as it was";
    // DIRECT: into the caller's pages; the header alone comes back.
    Call direct(1);
    alignas(4) std::array<std::uint8_t, 512> pages{};
    EXPECT_EQ(run(direct, pages.data()), 56u);
    EXPECT_TRUE(std::equal(kKey, kKey + 8, &pages[8]));
    // Sense cut at SenseInfoLength, which then says what was written.
    for (const std::uint8_t room : {32, 8}) {
        Call bad(1, 0x5E, 0x1F);
        bad.buffer[at::kSenseInfoLength] = room;
        const std::uint32_t written = room < 18 ? room : 18;
        EXPECT_EQ(run(bad), 60u + written);
        EXPECT_EQ(bad.buffer[at::kScsiStatus], vlksim::kScsiCheckCondition);
        EXPECT_EQ(bad.buffer[at::kSenseInfoLength], written);
        EXPECT_EQ(bad.buffer[60 + written], 0xEE) << "past the sense written";
    }
    // Data-out: REGISTER of path 1's nexus, DataTransferLength the bytes taken.
    Call reg(0, 0x5F, 0x00, 24);
    reg.buffer[at::kCdb + 7] = 0, reg.buffer[at::kCdb + 8] = 24;  // parameter list length
    std::fill_n(&reg.buffer[96], 24, 0);
    std::copy(kKey, kKey + 8, &reg.buffer[104]);
    EXPECT_EQ(run(reg), 56u);
    EXPECT_EQ(LoadLe32(&reg.buffer[at::kDataTransferLength]), 24u);
    EXPECT_EQ(model.Generation(7), 1u);
}

}  // namespace
}  // namespace vlkpath
