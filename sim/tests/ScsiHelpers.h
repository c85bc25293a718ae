// Command blocks and parameter lists for driving the disk model directly at its SCSI layer.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "sim/model/DiskModel.h"

namespace vlksim::testing {

using Key = std::array<std::uint8_t, 8>;

inline constexpr Key kZeroKey{};
inline constexpr Key kKeyA{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
inline constexpr Key kKeyB{0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8};
inline constexpr Key kKeyC{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

// PERSISTENT RESERVE IN service actions.
inline constexpr std::uint8_t kReadKeys = 0x00;
inline constexpr std::uint8_t kReadReservation = 0x01;
inline constexpr std::uint8_t kReportCapabilities = 0x02;
inline constexpr std::uint8_t kReadFullStatus = 0x03;

inline constexpr DiskModel::Nexus Path(std::uint32_t index) {
    return {false, index};
}
inline constexpr DiskModel::Nexus Foreign(std::uint32_t index) {
    return {true, index};
}

struct Reply {
    DiskModel::ScsiOutcome outcome;
    std::vector<std::uint8_t> data;  // exactly the data-in bytes the model wrote

    std::uint8_t status() const { return outcome.status; }
    std::uint8_t senseKey() const { return outcome.sense[2]; }
    std::uint16_t additionalSense() const {
        return static_cast<std::uint16_t>(outcome.sense[12] << 8 | outcome.sense[13]);
    }
    std::uint32_t Be32(std::size_t at) const {
        return std::uint32_t{data.at(at)} << 24 | std::uint32_t{data.at(at + 1)} << 16 |
               std::uint32_t{data.at(at + 2)} << 8 | data.at(at + 3);
    }
    Key KeyAt(std::size_t at) const {
        Key key{};
        for (std::size_t i = 0; i < 8; ++i)
            key[i] = data.at(at + i);
        return key;
    }
};

// The keys of a READ KEYS reply, as far as it came.
inline std::vector<Key> KeysIn(const Reply& reply) {
    std::vector<Key> keys;
    for (std::size_t at = 8; at + 8 <= reply.data.size(); at += 8) {
        keys.push_back(reply.KeyAt(at));
    }
    return keys;
}

// PERSISTENT RESERVE IN with the given allocation length; `capacity` is the data-in room offered.
inline Reply ReserveIn(DiskModel& model, std::uint32_t device, DiskModel::Nexus nexus,
                       std::uint8_t action, std::uint16_t allocation = 24,
                       std::uint32_t capacity = 60) {
    const std::uint8_t cdb[10] = {0x5E,
                                  action,
                                  0,
                                  0,
                                  0,
                                  0,
                                  0,
                                  static_cast<std::uint8_t>(allocation >> 8),
                                  static_cast<std::uint8_t>(allocation),
                                  0};
    std::vector<std::uint8_t> buffer(capacity + 16, 0xEE);
    Reply reply{model.Execute(device, nexus, cdb, 10, nullptr, 0, buffer.data(), capacity), {}};
    reply.data.assign(buffer.begin(), buffer.begin() + reply.outcome.dataInLength);
    for (std::size_t i = reply.outcome.dataInLength; i < buffer.size(); ++i) {
        if (buffer[i] != 0xEE)
            ADD_FAILURE() << "data-in byte " << i << " written beyond length";
    }
    return reply;
}

struct OutCommand {
    std::uint8_t action;
    std::uint8_t scopeType = 0x06;
    Key reservationKey = kZeroKey;
    Key serviceActionKey = kZeroKey;
    std::uint8_t flags = 0;
    std::uint32_t listLength = 24;
    std::uint32_t transfer = 60;
};

inline Reply ReserveOut(DiskModel& model, std::uint32_t device, DiskModel::Nexus nexus,
                        const OutCommand& command) {
    const std::uint32_t n = command.listLength;
    const std::uint8_t cdb[10] = {0x5F,
                                  command.action,
                                  command.scopeType,
                                  0,
                                  0,
                                  static_cast<std::uint8_t>(n >> 24),
                                  static_cast<std::uint8_t>(n >> 16),
                                  static_cast<std::uint8_t>(n >> 8),
                                  static_cast<std::uint8_t>(n),
                                  0};
    std::vector<std::uint8_t> list(command.transfer > 24 ? command.transfer : 24, 0);
    for (std::size_t i = 0; i < 8; ++i) {
        list[i] = command.reservationKey[i];
        list[8 + i] = command.serviceActionKey[i];
    }
    list[20] = command.flags;
    return {model.Execute(device, nexus, cdb, 10, list.data(), command.transfer, nullptr, 0), {}};
}

inline Reply Register(DiskModel& model, std::uint32_t device, DiskModel::Nexus nexus,
                      const Key& oldKey, const Key& newKey) {
    return ReserveOut(model, device, nexus,
                      {.action = 0x00, .reservationKey = oldKey, .serviceActionKey = newKey});
}

inline Reply Reserve(DiskModel& model, std::uint32_t device, DiskModel::Nexus nexus, const Key& key,
                     std::uint8_t type = 0x6) {
    return ReserveOut(model, device, nexus,
                      {.action = 0x01, .scopeType = type, .reservationKey = key});
}

inline Reply Release(DiskModel& model, std::uint32_t device, DiskModel::Nexus nexus, const Key& key,
                     std::uint8_t type = 0x6) {
    return ReserveOut(model, device, nexus,
                      {.action = 0x02, .scopeType = type, .reservationKey = key});
}

inline Reply ClearAll(DiskModel& model, std::uint32_t device, DiskModel::Nexus nexus,
                      const Key& key) {
    return ReserveOut(model, device, nexus,
                      {.action = 0x03, .reservationKey = key, .serviceActionKey = key});
}

// PREEMPT (04h) or PREEMPT AND ABORT (05h) of the registrations under `victim`.
inline Reply Preempt(DiskModel& model, std::uint32_t device, DiskModel::Nexus nexus, const Key& key,
                     const Key& victim, std::uint8_t type = 0x6, std::uint8_t action = 0x04) {
    return ReserveOut(
        model, device, nexus,
        {.action = action, .scopeType = type, .reservationKey = key, .serviceActionKey = victim});
}

}  // namespace vlksim::testing
