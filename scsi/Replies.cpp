#include "scsi/Replies.h"

#include <algorithm>

#include "scsi/Bytes.h"
#include "scsi/Hex.h"

namespace tessaly::scsi {
namespace {

using Bytes = std::span<const std::uint8_t>;

// The length the device had to send: its whole list, or the allocation length when that is less.
// Fewer bytes than that, or than the header, mean a reply that cannot be trusted. The programs ask
// for more than any header, so a header that does not fit is always a fault.
std::string CheckLength(Bytes data, std::uint32_t header, std::uint64_t available,
                        std::uint32_t allocationLength) {
    const std::uint64_t expected = available < allocationLength ? available : allocationLength;
    if (data.size() < header) {
        return "the reply holds " + std::to_string(data.size()) + " bytes, less than its " +
               std::to_string(header) + "-byte header";
    }
    if (data.size() < expected) {
        return "the reply holds " + std::to_string(data.size()) +
               " bytes but its length field announces " + std::to_string(available);
    }
    return {};
}

// Starts a decoder of a PERSISTENT RESERVE IN list: the whole length its header announces, and
// the problem of a reply that does not hold what it must, or whose list is not made of whole
// entries of `entrySize` bytes (0: entries of any size).
template <class Reply>
Decoded<Reply> Start(Bytes data, std::uint32_t allocationLength, std::uint32_t entrySize,
                     std::uint64_t& available) {
    Decoded<Reply> decoded;
    available = data.size() >= 8 ? 8ull + LoadBe32(data.data() + 4) : 8;
    decoded.problem = CheckLength(data, 8, available, allocationLength);
    if (decoded.problem.empty() && entrySize != 0 && (available - 8) % entrySize != 0) {
        decoded.problem = "its list of " + std::to_string(available - 8) +
                          " bytes is not made of whole " + std::to_string(entrySize) +
                          "-byte entries";
    }
    return decoded;
}

}  // namespace

Decoded<KeysReply> DecodeReadKeys(Bytes data, std::uint32_t allocationLength) {
    std::uint64_t available = 0;
    Decoded<KeysReply> decoded = Start<KeysReply>(data, allocationLength, 8, available);
    if (!decoded.problem.empty()) {
        return decoded;
    }
    KeysReply reply{LoadBe32(data.data()), {}, 0};
    const std::uint64_t end = available < data.size() ? available : data.size();
    for (std::uint64_t at = 8; at + 8 <= end; at += 8) {
        ReservationKey key;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), 8, key.begin());
        reply.keys.push_back(key);
    }
    reply.notShown = static_cast<std::uint32_t>((available - 8) / 8 - reply.keys.size());
    decoded.reply = reply;
    return decoded;
}

Decoded<ReservationReply> DecodeReadReservation(Bytes data, std::uint32_t allocationLength) {
    std::uint64_t available = 0;
    Decoded<ReservationReply> decoded =
        Start<ReservationReply>(data, allocationLength, 16, available);
    if (decoded.problem.empty() && available > 8 && data.size() < 24) {
        decoded.problem = "its reservation descriptor did not fit in the reply";
    }
    if (!decoded.problem.empty()) {
        return decoded;
    }
    ReservationReply reply{LoadBe32(data.data()), available > 8, {}, 0, 0, 0};
    if (reply.held) {
        std::copy_n(data.begin() + 8, 8, reply.key.begin());
        reply.scope = static_cast<std::uint8_t>(data[21] >> 4);
        reply.type = data[21] & 0x0F;
        reply.moreDescriptors = static_cast<std::uint32_t>((available - 8) / 16 - 1);
    }
    decoded.reply = reply;
    return decoded;
}

Decoded<FullStatusReply> DecodeReadFullStatus(Bytes data, std::uint32_t allocationLength) {
    std::uint64_t available = 0;
    Decoded<FullStatusReply> decoded = Start<FullStatusReply>(data, allocationLength, 0, available);
    if (!decoded.problem.empty()) {
        return decoded;
    }
    FullStatusReply reply{LoadBe32(data.data()), {}, 0};
    const std::uint64_t end = available < data.size() ? available : data.size();
    std::uint64_t at = 8;
    while (at < available) {
        // A descriptor: 24 bytes, the last four giving the length of the TransportID after them.
        const std::uint8_t* d = data.data() + at;
        const std::uint64_t next = at + 24 + (at + 24 <= end ? LoadBe32(d + 20) : 0);
        if (next > available) {
            decoded.problem = "a status descriptor runs past the length the reply announces";
            return decoded;
        }
        if (next > end) {
            break;  // cut by the allocation length
        }
        Registration r;
        std::copy_n(d, 8, r.key.begin());
        r.allTargetPorts = (d[12] & 0x02) != 0;
        r.holder = (d[12] & 0x01) != 0;
        r.scope = static_cast<std::uint8_t>(d[13] >> 4);
        r.type = d[13] & 0x0F;
        r.relativeTargetPort = LoadBe16(d + 18);
        r.transportId.assign(d + 24, data.data() + next);
        reply.registrations.push_back(std::move(r));
        at = next;
    }
    reply.bytesNotShown = static_cast<std::uint32_t>(available - at);
    decoded.reply = std::move(reply);
    return decoded;
}

std::optional<std::string> IscsiName(Bytes id) {
    if (id.size() < 4 || (id[0] & 0x0F) != 0x5) {
        return std::nullopt;
    }
    // A name of up to the announced length, ended by a zero byte; format 01b adds ",i,0x" and
    // the initiator session identifier.
    const std::size_t length = 4u + LoadBe16(id.data() + 2);
    std::string name;
    for (std::size_t i = 4; i < id.size() && i < length && id[i] != 0; ++i) {
        name += static_cast<char>(id[i]);
    }
    return name;
}

std::string TransportIdText(Bytes id) {
    if (const auto name = IscsiName(id)) {
        return "iSCSI name " + *name;
    }
    if (id.size() >= 16 && (id[0] & 0x0F) == 0x0) {
        return "Fibre Channel N_Port name " + HexBytes(id.subspan(8, 8));
    }
    if (id.size() >= 12 && (id[0] & 0x0F) == 0x6) {
        return "SAS address " + HexBytes(id.subspan(4, 8));
    }
    return "TransportID " + HexBytes(id);
}

Decoded<CapabilitiesReply> DecodeReportCapabilities(Bytes data, std::uint32_t allocationLength) {
    Decoded<CapabilitiesReply> decoded;
    const std::uint64_t length = data.size() >= 2 ? LoadBe16(data.data()) : 8;
    decoded.problem = CheckLength(data, 8, length, allocationLength);
    if (decoded.problem.empty() && length < 8) {
        decoded.problem = "its LENGTH field says " + std::to_string(length) + ", less than 8";
    }
    if (!decoded.problem.empty()) {
        return decoded;
    }
    CapabilitiesReply reply{};
    reply.length = static_cast<std::uint16_t>(length);
    reply.compatibleReservationHandling = (data[2] & 0x10) != 0;
    reply.specifyInitiatorPorts = (data[2] & 0x08) != 0;
    reply.allTargetPorts = (data[2] & 0x04) != 0;
    reply.persistThroughPowerLoss = (data[2] & 0x01) != 0;
    reply.typeMaskValid = (data[3] & 0x80) != 0;
    reply.allowCommands = static_cast<std::uint8_t>((data[3] >> 4) & 0x07);
    reply.persistThroughPowerLossActive = (data[3] & 0x01) != 0;
    if (reply.typeMaskValid) {
        // Byte 4: WR_EX_AR (7), EX_AC_RO (6), WR_EX_RO (5), EX_AC (3), WR_EX (1); byte 5: EX_AC_AR.
        const struct {
            std::uint8_t byte, bit, type;
        } mask[] = {{4, 1, 0x1}, {4, 3, 0x3}, {4, 5, 0x5}, {4, 6, 0x6}, {4, 7, 0x7}, {5, 0, 0x8}};
        for (const auto& m : mask) {
            if ((data[m.byte] >> m.bit) & 1) {
                reply.types.push_back(m.type);
            }
        }
    }
    decoded.reply = reply;
    return decoded;
}

}  // namespace tessaly::scsi
