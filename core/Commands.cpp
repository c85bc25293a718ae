#include "core/Commands.h"

#include <cstring>

namespace tessaly {
namespace {

constexpr std::size_t kReservationKeyField = 0;
constexpr std::size_t kServiceActionKeyField = 8;
constexpr std::size_t kKeyBytes = 8;

using CdbBytes = std::array<std::uint8_t, kCdbSize>;
using ParameterBytes = std::array<std::uint8_t, kParameterListSize>;

// The 10-byte command block: operation code, service action, scope and type, then the length in
// bytes 7 and 8 (for PERSISTENT RESERVE OUT the low end of the parameter list length in 5..8).
constexpr CdbBytes CommandBlock(const CommandRow& row, std::uint8_t scopeAndType,
                                std::uint16_t length) {
    return {row.operationCode,
            row.serviceAction,
            scopeAndType,
            0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length),
            0};
}

// The program's key written byte by byte into the field: "TESSALY1".
void WriteFixedRegistrationKey(std::uint8_t* field) {
    field[0] = 0x54;
    field[1] = 0x45;
    field[2] = 0x53;
    field[3] = 0x53;
    field[4] = 0x41;
    field[5] = 0x4C;
    field[6] = 0x59;
    field[7] = 0x31;
}

PassThroughRequest Assemble(const CommandRow& row, std::uint32_t device, std::uint32_t path,
                            const CdbBytes& cdb, const ParameterBytes& list,
                            std::uint32_t transferLength) {
    const bool in = row.direction == DataDirection::In;
    return PassThroughRequest(device, path, row.direction, cdb,
                              in ? std::span<const std::uint8_t>() : std::span(list),
                              transferLength);
}

}  // namespace

ReservationKey FixedRegistrationKey() {
    ReservationKey key;
    WriteFixedRegistrationKey(key.data());
    return key;
}

void CurrentKey::CaptureFrom(const PassThroughRequest& reply) {
    const auto data = reply.DataArea();
    std::memcpy(bytes_.data(), data.data() + 8, bytes_.size());
}

PassThroughRequest BuildCommandRequest(Command command, std::uint32_t device, std::uint32_t path,
                                       const CurrentKey& key) {
    const CommandRow& row = RowOf(command);
    ParameterBytes list{};
    switch (row.keys) {
        case KeyFill::FixedKeyAsServiceActionKey:
            WriteFixedRegistrationKey(list.data() + kServiceActionKeyField);
            break;
        case KeyFill::FixedKeyAsReservationKey:
            WriteFixedRegistrationKey(list.data() + kReservationKeyField);
            break;
        case KeyFill::CurrentKeyInBoth:
            std::memcpy(list.data() + kReservationKeyField, key.Bytes().data(), kKeyBytes);
            std::memcpy(list.data() + kServiceActionKeyField, key.Bytes().data(), kKeyBytes);
            break;
        case KeyFill::None:
        case KeyFill::Caller:
            break;
    }
    return Assemble(row, device, path, CommandBlock(row, row.scopeAndType, row.length), list,
                    request_value::kDataTransferLength);
}

PassThroughRequest BuildRequest(const CommandRow& row, const RequestFields& fields) {
    const bool in = row.direction == DataDirection::In;
    ParameterBytes list{};
    if (!in) {
        std::memcpy(list.data() + kReservationKeyField, fields.reservationKey.data(), kKeyBytes);
        std::memcpy(list.data() + kServiceActionKeyField, fields.serviceActionKey.data(),
                    kKeyBytes);
    }
    // The request itself cuts a transfer longer than the data area.
    const std::uint16_t length = in ? fields.allocationLength : row.length;
    return Assemble(row, fields.device, fields.path, CommandBlock(row, fields.scopeAndType, length),
                    list, fields.transferLength);
}

}  // namespace tessaly
