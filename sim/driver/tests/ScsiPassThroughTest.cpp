// The disk objects' SCSI pass-through on the disk model: which headers are refused, and where
// status, sense and data land.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/RequestLayout.h"
#include "sim/driver/ScsiPassThrough.h"

namespace vlkpath {
namespace {

namespace at = tessaly::block_offset;
using tessaly::LoadLe32;
using tessaly::StoreLe16;
using tessaly::StoreLe32;
using tessaly::StoreLe64;

constexpr std::array<std::uint8_t, 10> kReadKeys = {0x5E, 0x00, 0, 0, 0, 0, 0, 0x02, 0x00, 0};
constexpr std::uint8_t kKey[8] = {'N', 'O', 'D', 'E', '-', 'C', '0', '3'};

// A call as a 64-bit caller lays it out: header, sense at 60, data at 96, in one buffer.
struct Call {
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(608, 0xEE);
    std::uint32_t input = 608;
    std::uint32_t output = 608;

    explicit Call(ScsiDirection direction, const std::array<std::uint8_t, 10>& cdb = kReadKeys,
                  std::uint32_t transfer = 512) {
        std::fill(buffer.begin(), buffer.begin() + kScsiHeaderSize, 0);
        StoreLe16(&buffer[at::kLength], kScsiHeaderSize);
        buffer[at::kCdbLength] = static_cast<std::uint8_t>(cdb.size());
        buffer[at::kSenseInfoLength] = 32;
        buffer[at::kDataIn] = static_cast<std::uint8_t>(direction);
        StoreLe32(&buffer[at::kDataTransferLength], transfer);
        StoreLe64(&buffer[at::kDataBufferOffset], 96);
        StoreLe32(&buffer[at::kSenseInfoOffset], 60);
        std::copy(cdb.begin(), cdb.end(), &buffer[at::kCdb]);
    }
    bool Read(ScsiCall& call, bool direct = false) const {
        return ReadScsiCall(direct, buffer.data(), input, output, call);
    }
};

TEST(ScsiPassThroughHeader, RefusedAsWindowsRefusesIt) {
    const std::vector<std::pair<std::string, std::function<void(Call&)>>> refused = {
        {"input shorter than the header", [](Call& c) { c.input = 55; }},
        {"output shorter than the header", [](Call& c) { c.output = 55; }},
        {"a 32-bit caller's header", [](Call& c) { c.buffer[at::kLength] = 44; }},
        {"CdbLength 5", [](Call& c) { c.buffer[at::kCdbLength] = 5; }},
        {"CdbLength 17", [](Call& c) { c.buffer[at::kCdbLength] = 17; }},
        {"DataIn 3", [](Call& c) { c.buffer[at::kDataIn] = 3; }},
        {"a transfer above 64 KiB",
         [](Call& c) {
             c.buffer.resize(70000);
             c.input = c.output = 70000;
             StoreLe32(&c.buffer[at::kDataTransferLength], 65540);
         }},
        {"sense over the header", [](Call& c) { StoreLe32(&c.buffer[at::kSenseInfoOffset], 40); }},
        {"sense past the output", [](Call& c) { c.output = 91; }},
        {"data over the header", [](Call& c) { StoreLe64(&c.buffer[at::kDataBufferOffset], 52); }},
        {"data-in past the output", [](Call& c) { c.output = 607; }},
        {"data off the alignment",
         [](Call& c) { StoreLe64(&c.buffer[at::kDataBufferOffset], 94); }},
        {"an offset that wraps",
         [](Call& c) { StoreLe64(&c.buffer[at::kDataBufferOffset], ~std::uint64_t{3}); }},
        {"data-out past the input",
         [](Call& c) {
             c.buffer[at::kDataIn] = 0;
             c.input = 600;
         }},
        {"unspecified data past the input",
         [](Call& c) {
             c.buffer[at::kDataIn] = 2;
             c.input = 600;
         }},
    };
    for (const auto& [what, change] : refused) {
        Call c(ScsiDirection::In);
        ScsiCall call{};
        ASSERT_TRUE(c.Read(call)) << "before: " << what;
        change(c);
        EXPECT_FALSE(c.Read(call)) << what;
    }

    // At the edges, and what is not looked at without a transfer or sense.
    const std::vector<std::pair<std::string, std::function<void(Call&)>>> accepted = {
        {"sense to the output's end",
         [](Call& c) {
             c.output = 92;
             StoreLe32(&c.buffer[at::kDataTransferLength], 0);
         }},
        {"no transfer: any offset",
         [](Call& c) {
             StoreLe32(&c.buffer[at::kDataTransferLength], 0);
             StoreLe64(&c.buffer[at::kDataBufferOffset], 3);
         }},
        {"no sense: any offset",
         [](Call& c) {
             c.buffer[at::kSenseInfoLength] = 0;
             StoreLe32(&c.buffer[at::kSenseInfoOffset], 0xFFFFFFFF);
         }},
        {"data-out with an output of the header alone",
         [](Call& c) {
             c.buffer[at::kDataIn] = 0;
             c.buffer[at::kSenseInfoLength] = 0;
             c.output = 56;
         }},
    };
    for (const auto& [what, change] : accepted) {
        Call c(ScsiDirection::In);
        change(c);
        ScsiCall call{};
        EXPECT_TRUE(c.Read(call)) << what;
    }

    // DIRECT: a pointer, aligned, whatever the buffer's length.
    Call direct(ScsiDirection::In);
    ScsiCall call{};
    StoreLe64(&direct.buffer[at::kDataBufferOffset], 0x7FFF0000);
    direct.output = direct.input = 92;
    EXPECT_TRUE(direct.Read(call, true));
    EXPECT_EQ(call.data, 0x7FFF0000u);
    StoreLe64(&direct.buffer[at::kDataBufferOffset], 0x7FFF0002);
    EXPECT_FALSE(direct.Read(call, true)) << "off the alignment";
    StoreLe64(&direct.buffer[at::kDataBufferOffset], 0);
    EXPECT_FALSE(direct.Read(call, true)) << "no pointer";
}

class ScsiPassThroughRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(model_.AddDevice(7));
        ASSERT_TRUE(model_.AddPath(7, 1));
        ASSERT_TRUE(model_.AddForeignRegistration(7, 5, kKey));
    }

    // Runs the call, its data in the buffer or, for DIRECT, in `direct`.
    std::uint32_t Run(Call& c, std::uint8_t* direct = nullptr) {
        if (direct != nullptr) {
            StoreLe64(&c.buffer[at::kDataBufferOffset], reinterpret_cast<std::uintptr_t>(direct));
        }
        ScsiCall call{};
        EXPECT_TRUE(c.Read(call, direct != nullptr));
        return RunScsiCall(model_, 7, 1, call, c.buffer.data(),
                           direct != nullptr ? direct : c.buffer.data() + call.data);
    }

    vlksim::DiskModel model_;
};

TEST_F(ScsiPassThroughRun, DataInLandsAtItsOffsetWithTheBytesTransferred) {
    for (const ScsiDirection direction : {ScsiDirection::In, ScsiDirection::Unspecified}) {
        Call c(direction);
        // Data-in may lie past the input: what is not written there comes back as zeros.
        c.input = direction == ScsiDirection::In ? 92 : 608;
        EXPECT_EQ(Run(c), 96u + 16u);
        EXPECT_EQ(c.buffer[at::kScsiStatus], 0);
        EXPECT_EQ(c.buffer[at::kSenseInfoLength], 0) << "no sense written";
        EXPECT_EQ(LoadLe32(&c.buffer[at::kDataTransferLength]), 16u) << "residual 496";
        EXPECT_EQ(LoadLe32(&c.buffer[96 + 4]), 0x08000000u) << "one key";
        EXPECT_TRUE(std::equal(kKey, kKey + 8, &c.buffer[104]));
        EXPECT_EQ(c.buffer[120], direction == ScsiDirection::In ? 0 : 0xEE);
        EXPECT_EQ(c.buffer[91], 0xEE) << "the input is left as it was";
    }

    Call c(ScsiDirection::In);
    alignas(4) std::array<std::uint8_t, 512> pages{};
    EXPECT_EQ(Run(c, pages.data()), 56u) << "DIRECT: the header alone comes back";
    EXPECT_EQ(LoadLe32(&c.buffer[at::kDataTransferLength]), 16u);
    EXPECT_TRUE(std::equal(kKey, kKey + 8, &pages[8]));
}

TEST_F(ScsiPassThroughRun, SenseIsCutAtSenseInfoLengthWhichTellsWhatWasWritten) {
    for (const std::uint8_t room : {32, 8}) {
        Call c(ScsiDirection::In, {0x5E, 0x1F, 0, 0, 0, 0, 0, 0x02, 0x00, 0});
        c.buffer[at::kSenseInfoLength] = room;
        const std::uint32_t written = room < 18 ? room : 18;
        EXPECT_EQ(Run(c), 60u + written);
        EXPECT_EQ(c.buffer[at::kScsiStatus], vlksim::kScsiCheckCondition);
        EXPECT_EQ(c.buffer[at::kSenseInfoLength], written);
        EXPECT_EQ(c.buffer[60], 0x70);
        EXPECT_EQ(c.buffer[60 + written], 0xEE) << "past the sense written";
        EXPECT_EQ(LoadLe32(&c.buffer[at::kDataTransferLength]), 0u);
    }
}

TEST_F(ScsiPassThroughRun, DataOutReachesTheModelOnThePathsNexus) {
    Call c(ScsiDirection::Out, {0x5F, 0x00, 0, 0, 0, 0, 0, 0, 24, 0}, 24);
    std::fill(&c.buffer[96], &c.buffer[96 + 24], 0);
    std::copy(kKey, kKey + 8, &c.buffer[96 + 8]);  // SERVICE ACTION RESERVATION KEY
    EXPECT_EQ(Run(c), 56u);
    EXPECT_EQ(c.buffer[at::kScsiStatus], 0);
    EXPECT_EQ(LoadLe32(&c.buffer[at::kDataTransferLength]), 24u);
    EXPECT_EQ(model_.Generation(7), 1u);

    Call keys(ScsiDirection::In);
    Run(keys);
    EXPECT_EQ(LoadLe32(&keys.buffer[at::kDataTransferLength]), 24u) << "path 1 registered";
}

}  // namespace
}  // namespace vlkpath
