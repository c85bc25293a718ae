#include "core/Commands.h"

#include <cstring>

namespace tessaly {
namespace {

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
    const scsi::PrActionRow& action = row.Scsi();
    if (row.In()) {
        const scsi::Cdb10 cdb = scsi::PersistentReserveInCdb(action.serviceAction, row.length);
        return PassThroughRequest(device, path, DataDirection::In, cdb, {});
    }
    ReservationKey reservationKey{};
    ReservationKey serviceActionKey{};
    switch (row.keys) {
        case KeyFill::FixedKeyAsServiceActionKey:
            serviceActionKey = FixedRegistrationKey();
            break;
        case KeyFill::FixedKeyAsReservationKey:
            reservationKey = FixedRegistrationKey();
            break;
        case KeyFill::CurrentKeyInBoth:
            reservationKey = key.Bytes();
            serviceActionKey = key.Bytes();
            break;
        case KeyFill::None:
            break;
    }
    const scsi::Cdb10 cdb =
        scsi::PersistentReserveOutCdb(action.serviceAction, row.scopeAndType, row.length);
    const scsi::ParameterList list = scsi::MakeParameterList(reservationKey, serviceActionKey);
    return PassThroughRequest(device, path, DataDirection::Out, cdb, list);
}

}  // namespace tessaly
