#include "targets/winpt/PassThroughBuffer.h"

#include <algorithm>
#include <cstring>

#include "core/RequestLayout.h"
#include "scsi/Codes.h"

namespace tessaly::targets::winpt {

static_assert(kDataOffset % 16 == 0 && kDataOffset >= kSenseOffset + kSenseLength);
static_assert(field::kCdb + kCdbFieldSize + 4 == kHeaderSize);

bool PassThroughBuffer::Prepare(const scsi::Request& request, std::uint8_t* directData,
                                std::string& why) {
    if (request.cdb.size() < 6 || request.cdb.size() > kCdbFieldSize) {
        why = "a command block of " + std::to_string(request.cdb.size()) +
              " bytes (6 to 16 are carried)";
        return false;
    }
    const bool in = request.direction == scsi::Direction::In;
    const bool out = request.direction == scsi::Direction::Out;
    const std::size_t transfer = in ? request.dataInLength : out ? request.dataOut.size() : 0;
    if (transfer > kMaxData) {
        why = std::to_string(transfer) + " bytes of data, more than one command carries (" +
              std::to_string(kMaxData) + ")";
        return false;
    }
    const auto length = static_cast<std::uint32_t>(transfer);
    const bool buffered = directData == nullptr;
    directData_ = directData;
    direction_ = request.direction;
    asked_ = in ? length : 0;
    input_ = kDataOffset + (buffered && out ? length : 0);
    output_ = kDataOffset + (buffered && in ? length : 0);

    bytes_.assign(std::max(input_, output_), 0);
    std::uint8_t* header = bytes_.data();
    StoreLe16(header + field::kLength, static_cast<std::uint16_t>(kHeaderSize));
    header[field::kCdbLength] = static_cast<std::uint8_t>(request.cdb.size());
    header[field::kSenseInfoLength] = static_cast<std::uint8_t>(kSenseLength);
    header[field::kDataIn] = in ? kDataIn : out ? kDataOut : kDataUnspecified;
    StoreLe32(header + field::kDataTransferLength, length);
    StoreLe32(header + field::kTimeOutValue, request.timeoutSeconds);
    StoreLe64(header + field::kDataBuffer,
              buffered ? kDataOffset : reinterpret_cast<std::uintptr_t>(directData));
    StoreLe32(header + field::kSenseInfoOffset, kSenseOffset);
    std::copy(request.cdb.begin(), request.cdb.end(), header + field::kCdb);
    if (out && length != 0) {
        std::memcpy(buffered ? header + kDataOffset : directData, request.dataOut.data(), length);
    }
    return true;
}

scsi::Outcome PassThroughBuffer::Read(std::uint32_t bytesReturned) const {
    scsi::Outcome outcome;
    outcome.facts.push_back(scsi::Fact::Number("bytes_returned", bytesReturned));
    const auto bad = [&](std::string text) {
        outcome.failure = scsi::FailureKind::BadReply;
        outcome.failureText = std::move(text);
        return outcome;
    };
    if (bytesReturned < kHeaderSize || bytesReturned > output_) {
        return bad("the disk returned " + std::to_string(bytesReturned) + " bytes, where " +
                   std::to_string(kHeaderSize) + " to " + std::to_string(output_) +
                   " were expected");
    }
    const std::uint8_t* header = bytes_.data();
    outcome.status = header[field::kScsiStatus];
    if (outcome.status == scsi::kStatusCheckCondition) {
        // Only then: a driver that wrote no sense may leave SenseInfoLength as it was sent.
        const std::uint32_t sense = header[field::kSenseInfoLength];
        if (bytesReturned < kSenseOffset + sense) {
            return bad("the disk says it wrote " + std::to_string(sense) +
                       " bytes of sense, beyond the " + std::to_string(bytesReturned) +
                       " bytes it returned");
        }
        outcome.sense.assign(header + kSenseOffset, header + kSenseOffset + sense);
    }
    if (direction_ == scsi::Direction::In) {
        const std::uint32_t came = LoadLe32(header + field::kDataTransferLength);
        if (came > asked_) {
            return bad("the disk says it transferred " + std::to_string(came) + " bytes, where " +
                       std::to_string(asked_) + " were asked for");
        }
        const std::uint8_t* data = directData_ != nullptr ? directData_ : header + kDataOffset;
        if (directData_ == nullptr && came != 0 && bytesReturned < kDataOffset + came) {
            return bad("the disk says it transferred " + std::to_string(came) +
                       " bytes, beyond the " + std::to_string(bytesReturned) +
                       " bytes it returned");
        }
        outcome.dataIn.assign(data, data + came);
        outcome.residual = asked_ - came;
    }
    return outcome;
}

}  // namespace tessaly::targets::winpt
