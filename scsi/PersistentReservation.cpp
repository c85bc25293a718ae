#include "scsi/PersistentReservation.h"

namespace tessaly::scsi {

Request MakeRequest(PrAction action, const PrFields& fields, std::uint32_t timeoutSeconds) {
    const PrActionRow& row = ActionRow(action);
    Request request;
    request.direction = row.direction;
    request.timeoutSeconds = timeoutSeconds;
    if (row.direction == Direction::In) {
        const Cdb10 cdb = PersistentReserveInCdb(row.serviceAction, fields.allocationLength);
        request.cdb.assign(cdb.begin(), cdb.end());
        request.dataInLength = fields.allocationLength;
    } else {
        const Cdb10 cdb = PersistentReserveOutCdb(row.serviceAction, fields.scopeAndType);
        const ParameterList list =
            MakeParameterList(fields.reservationKey, fields.serviceActionKey);
        request.cdb.assign(cdb.begin(), cdb.end());
        request.dataOut.assign(list.begin(), list.end());
    }
    return request;
}

const char* TypeName(std::uint8_t type) {
    switch (type) {
        case kTypeWriteExclusive:
            return "Write Exclusive";
        case kTypeExclusiveAccess:
            return "Exclusive Access";
        case kTypeWriteExclusiveRegistrantsOnly:
            return "Write Exclusive - Registrants Only";
        case kTypeExclusiveAccessRegistrantsOnly:
            return "Exclusive Access - Registrants Only";
        case kTypeWriteExclusiveAllRegistrants:
            return "Write Exclusive - All Registrants";
        case kTypeExclusiveAccessAllRegistrants:
            return "Exclusive Access - All Registrants";
        default:
            return nullptr;
    }
}

const char* ScopeName(std::uint8_t scope) {
    return scope == 0 ? "logical unit" : nullptr;
}

}  // namespace tessaly::scsi
