// The disk model's control call over any request: any control code, input and output lengths
// and bytes, with input and output in one buffer as the driver gives them (METHOD_BUFFERED: the
// system buffer is as long as the longer of the two). Several calls run on one model, so that
// registrations and reservations pile up; after each, the addressed device is read back and
// checked against what SPC-3 promises.
//
// Input: set-up length (little-endian 16-bit; 0 for the driver's default disks) and set-up text
// (the default disks too when it does not parse), then one record per call: shape (bit 0: a
// control code follows, else the pass-through code; bit 1: an input length follows, else 616;
// bit 2: an output length follows, else 152; bit 3: the whole buffer follows, else only its first
// 160 bytes, which hold all the program sends, and zeros after them), the fields shape names (code
// 32-bit, lengths 16-bit, little-endian), then the buffer's bytes.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/RequestLayout.h"
#include "fuzz/FuzzInput.h"
#include "scsi/Bytes.h"
#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"
#include "sim/config/SetupApply.h"
#include "sim/model/DiskModel.h"

namespace {

using tessaly::fuzz::Check;
using tessaly::fuzz::FuzzInput;
using tessaly::scsi::LoadBe32;

constexpr std::uint32_t kMaxLength = 2048;
constexpr int kMaxCalls = 16;
// The two numbers, the header, the sense area and the 60 data bytes of the program's requests.
constexpr std::uint32_t kShortRecord = tessaly::request_offset::kDataArea + 60;
constexpr std::uint32_t kUntouched = 0xA5A5A5A5;
constexpr std::uint32_t kNexusCount = vlksim::kPathCount + vlksim::kForeignCount;

bool IsZero(const std::uint8_t* key) {
    for (int i = 0; i < 8; ++i) {
        if (key[i] != 0) {
            return false;
        }
    }
    return true;
}

// READ KEYS and READ RESERVATION of a present device, from another host's initiator.
void CheckDevice(vlksim::DiskModel& model, std::uint32_t device) {
    std::uint8_t cdb[10] = {0x5E, 0x00, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0};
    std::uint8_t keys[512];
    const auto keysOutcome =
        model.Execute(device, {true, 0}, cdb, sizeof cdb, nullptr, 0, keys, sizeof keys);
    const std::uint32_t keysLength = LoadBe32(keys + 4);
    Check(keysOutcome.status == vlksim::kScsiGood, "READ KEYS of a present device is GOOD");
    Check(keysLength % 8 == 0 && keysLength <= 8 * kNexusCount,
          "READ KEYS: ADDITIONAL LENGTH is 8 for each nexus at most");
    Check(keysOutcome.dataInLength == 8 + keysLength, "READ KEYS returns the whole list");
    for (std::uint32_t at = 8; at < 8 + keysLength; at += 8) {
        Check(!IsZero(keys + at), "READ KEYS lists no zero key");
    }

    cdb[1] = 0x01;
    std::uint8_t reservation[512];
    const auto reservationOutcome = model.Execute(device, {true, 0}, cdb, sizeof cdb, nullptr, 0,
                                                  reservation, sizeof reservation);
    const std::uint32_t reservationLength = LoadBe32(reservation + 4);
    Check(reservationOutcome.status == vlksim::kScsiGood,
          "READ RESERVATION of a present device is GOOD");
    Check(reservationLength == 0 || reservationLength == 16,
          "READ RESERVATION: ADDITIONAL LENGTH is 0 or 16");
    Check(LoadBe32(reservation) == LoadBe32(keys), "one generation in both replies");
    if (reservationLength == 16) {
        const std::uint8_t type = reservation[21] & 0x0F;
        Check((reservation[21] >> 4) == 0, "the reservation's scope is the logical unit");
        Check(type == 1 || type == 3 || type == 5 || type == 6 || type == 7 || type == 8,
              "the reservation has a valid type");
        if (type != 7 && type != 8) {
            bool listed = false;
            for (std::uint32_t at = 8; at < 8 + keysLength; at += 8) {
                listed = listed || std::memcmp(keys + at, reservation + 8, 8) == 0;
            }
            Check(listed, "the reservation holder is registered");
        }
    }
}

void Call(FuzzInput& in, vlksim::DiskModel& model) {
    const std::uint8_t shape = in.Byte();
    const std::uint32_t code = (shape & 1) != 0 ? in.Le32() : vlksim::kPassThroughCode;
    const std::uint32_t inputLength =
        (shape & 2) != 0 ? in.Le16() % (kMaxLength + 1) : vlksim::kRequestSize;
    const std::uint32_t outputLength =
        (shape & 4) != 0 ? in.Le16() % (kMaxLength + 1) : vlksim::kReplySize;
    // Exactly as long as the system buffer, so that the sanitizer sees any step beyond it; none
    // at all for two zero lengths, as the system gives it.
    const std::uint32_t size = inputLength > outputLength ? inputLength : outputLength;
    std::unique_ptr<std::uint8_t[]> buffer(size != 0 ? new std::uint8_t[size] : nullptr);
    const std::uint32_t given = (shape & 8) != 0 || size < kShortRecord ? size : kShortRecord;
    in.Bytes(buffer.get(), given);
    std::fill(buffer.get() + given, buffer.get() + size, std::uint8_t{0});
    const std::vector<std::uint8_t> before(buffer.get(), buffer.get() + size);

    const std::uint32_t device = size >= 4 ? tessaly::LoadLe32(buffer.get()) : ~0u;
    const std::uint32_t generation = model.Generation(device);
    std::uint32_t bytesReturned = kUntouched;
    const std::int32_t status = model.PassThrough(code, buffer.get(), inputLength, buffer.get(),
                                                  outputLength, &bytesReturned);
    if (status != vlksim::kStatusSuccess) {
        Check(bytesReturned == kUntouched, "a failed call leaves bytes returned alone");
        Check(std::equal(before.begin(), before.end(), buffer.get()),
              "a failed call writes nothing");
    } else {
        Check(bytesReturned <= outputLength, "bytes returned fit the output");
        Check(
            std::equal(before.begin() + bytesReturned, before.end(), buffer.get() + bytesReturned),
            "nothing is written past bytes returned");
    }
    if (model.HasDevice(device)) {
        Check(model.Generation(device) >= generation, "the generation never goes back");
        CheckDevice(model, device);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static vlksim::DiskModel model;
    static vlksim::DiskSetup defaultSetup;
    static const bool defaultParsed =
        vlksim::ParseSetup(vlksim::kDefaultSetupText, vlksim::kDefaultSetupLength, defaultSetup)
            .Ok();
    Check(defaultParsed, "the default set-up parses");

    static vlksim::DiskSetup fuzzedSetup;
    FuzzInput in(data, size);
    const std::string_view text = in.Text(in.Le16());
    const bool own =
        !text.empty() && vlksim::ParseSetup(text.data(), text.size(), fuzzedSetup).Ok();
    Check(vlksim::ApplySetup(own ? fuzzedSetup : defaultSetup, model),
          "the model takes a parsed set-up");

    for (int i = 0; i < kMaxCalls && !in.Empty(); ++i) {
        Call(in, model);
    }
    return 0;
}
