#include "core/Commands.h"

#include <cstring>
#include <span>

namespace tessaly {
namespace {

constexpr std::uint8_t kPersistentReserveIn = 0x5E;
constexpr std::uint8_t kPersistentReserveOut = 0x5F;
constexpr std::uint8_t kReadKeysAction = 0x00;
constexpr std::uint8_t kReadReservationAction = 0x01;
constexpr std::uint8_t kRegisterAction = 0x00;
constexpr std::uint8_t kReserveAction = 0x01;
constexpr std::uint8_t kClearAction = 0x03;
// Scope 0h (logical unit), type 6h (Exclusive Access, Registrants Only).
constexpr std::uint8_t kScopeAndType = 0x06;
constexpr std::uint8_t kLength = static_cast<std::uint8_t>(kParameterListSize);

constexpr std::size_t kReservationKeyField = 0;
constexpr std::size_t kServiceActionKeyField = 8;

using CdbBytes = std::array<std::uint8_t, kCdbSize>;

constexpr CdbBytes InCdb(std::uint8_t action) {
    return {kPersistentReserveIn, action, 0, 0, 0, 0, 0, 0, kLength, 0};
}

constexpr CdbBytes OutCdb(std::uint8_t action) {
    return {kPersistentReserveOut, action, kScopeAndType, 0, 0, 0, 0, 0, kLength, 0};
}

// The program's own registration key, written byte by byte into the field: "TESSALY1".
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

}  // namespace

const char* CommandListText(Command command) {
    switch (command) {
        case Command::ReadKeys:
            return "Read Persistent Reservation Key";
        case Command::ReadReservation:
            return "Read Reservation";
        case Command::RegisterDevice:
            return "Register Device";
        case Command::ReserveDevice:
            return "Reserve Device";
        case Command::ClearReservation:
            return "Clear Reservation";
    }
    return "";
}

void CurrentKey::CaptureFrom(const PassThroughRequest& reply) {
    const auto data = reply.DataArea();
    std::memcpy(bytes_.data(), data.data() + 8, bytes_.size());
}

PassThroughRequest BuildCommandRequest(Command command, std::uint32_t device, std::uint32_t path,
                                       const CurrentKey& key) {
    std::array<std::uint8_t, kParameterListSize> list{};
    CdbBytes cdb{};
    switch (command) {
        case Command::ReadKeys:
            cdb = InCdb(kReadKeysAction);
            return PassThroughRequest(device, path, DataDirection::In, cdb, {});
        case Command::ReadReservation:
            cdb = InCdb(kReadReservationAction);
            return PassThroughRequest(device, path, DataDirection::In, cdb, {});
        case Command::RegisterDevice:
            cdb = OutCdb(kRegisterAction);
            WriteFixedRegistrationKey(list.data() + kServiceActionKeyField);
            break;
        case Command::ReserveDevice:
            cdb = OutCdb(kReserveAction);
            WriteFixedRegistrationKey(list.data() + kReservationKeyField);
            break;
        case Command::ClearReservation:
            cdb = OutCdb(kClearAction);
            std::memcpy(list.data() + kReservationKeyField, key.Bytes().data(), key.Bytes().size());
            std::memcpy(list.data() + kServiceActionKeyField, key.Bytes().data(),
                        key.Bytes().size());
            break;
    }
    return PassThroughRequest(device, path, DataDirection::Out, cdb, list);
}

}  // namespace tessaly
