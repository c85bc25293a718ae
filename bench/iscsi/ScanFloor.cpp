// The floor of `tessaly-cli scan iscsi://PORTAL/IQN/FIRST-LAST`: bare libiscsi, one process, one
// session, and on each LUN what the scan sends: PERSISTENT RESERVE IN READ FULL STATUS (tgt
// refuses it: ILLEGAL REQUEST), READ KEYS and READ RESERVATION, each with the same allocation
// length, one after the other; a command met by a unit attention (tgt reports one on each LUN's
// first command after a login) is sent again. Nothing else: no decoding, no output per LUN.
//
//   tessaly_iscsi_scan_floor PORTAL IQN FIRST LAST [ALLOCATION]   (ALLOCATION 512 unless given)
//     prints "COMMANDS UNEXPECTED SECONDS": the commands sent, those that did not end as tgt
//     answers them, and the time from before the login to the last answer
//   tessaly_iscsi_scan_floor --setup PORTAL IQN FIRST LAST
//     registers the key NODE-B01 on each LUN from a session of its own and reserves it (Write
//     Exclusive - Registrants Only), so that the scan reads a key and a holder
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kAttentionRetries = 5;

struct Session {
    iscsi_context* context = nullptr;
    ~Session() {
        if (context != nullptr) {
            iscsi_logout_sync(context);
            iscsi_destroy_context(context);
        }
    }
};

bool LogIn(Session& session, const char* name, const char* portal, const char* iqn) {
    session.context = iscsi_create_context(name);
    if (session.context == nullptr || iscsi_set_targetname(session.context, iqn) != 0 ||
        iscsi_set_session_type(session.context, ISCSI_SESSION_NORMAL) != 0 ||
        iscsi_set_timeout(session.context, 10) != 0 ||
        iscsi_connect_sync(session.context, portal) != 0 ||
        iscsi_login_sync(session.context) != 0) {
        std::fprintf(stderr, "login to %s at %s: %s\n", iqn, portal,
                     session.context != nullptr ? iscsi_get_error(session.context) : "no context");
        return false;
    }
    return true;
}

// Sends one command, again while a unit attention meets it; the final status, or -1 when the
// transport failed.
int Send(Session& session, int lun, unsigned char* cdb, int cdbSize, int inLength,
         unsigned char* out = nullptr, std::size_t outSize = 0, int* senseKey = nullptr) {
    for (int attempt = 0;; ++attempt) {
        scsi_task* task =
            scsi_create_task(cdbSize, cdb, out != nullptr ? SCSI_XFER_WRITE : SCSI_XFER_READ,
                             out != nullptr ? static_cast<int>(outSize) : inLength);
        iscsi_data data{outSize, out};
        scsi_task* done =
            iscsi_scsi_command_sync(session.context, lun, task, out != nullptr ? &data : nullptr);
        const int status = done != nullptr ? task->status : -1;
        const int key = status == SCSI_STATUS_CHECK_CONDITION ? task->sense.key : 0;
        scsi_free_scsi_task(task);
        if (status != SCSI_STATUS_CHECK_CONDITION || key != SCSI_SENSE_UNIT_ATTENTION ||
            attempt == kAttentionRetries) {
            if (senseKey != nullptr) {
                *senseKey = key;
            }
            return status < 0 || status > 0xFF ? -1 : status;
        }
    }
}

int Setup(const char* portal, const char* iqn, int first, int last) {
    Session session;
    if (!LogIn(session, "iqn.2026-12.org.tessaly:node-b", portal, iqn)) {
        return 1;
    }
    unsigned char list[24] = {};
    std::memcpy(list + 8, "NODE-B01", 8);  // REGISTER: the service action key
    unsigned char registerCdb[10] = {0x5F, 0x00, 0, 0, 0, 0, 0, 0, 24, 0};
    unsigned char reserve[24] = {};
    std::memcpy(reserve, "NODE-B01", 8);  // RESERVE: the reservation key
    unsigned char reserveCdb[10] = {0x5F, 0x01, 0x05, 0, 0, 0, 0, 0, 24, 0};
    for (int lun = first; lun <= last; ++lun) {
        if (Send(session, lun, registerCdb, 10, 0, list, sizeof list) != SCSI_STATUS_GOOD ||
            Send(session, lun, reserveCdb, 10, 0, reserve, sizeof reserve) != SCSI_STATUS_GOOD) {
            std::fprintf(stderr, "LUN %d: set-up refused: %s\n", lun,
                         iscsi_get_error(session.context));
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "--setup") == 0) {
        return Setup(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    }
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s [--setup] PORTAL IQN FIRST LAST [ALLOCATION]\n", argv[0]);
        return 2;
    }
    const int first = std::atoi(argv[3]);
    const int last = std::atoi(argv[4]);
    const int allocation = argc == 6 ? std::atoi(argv[5]) : 512;

    const auto start = std::chrono::steady_clock::now();
    Session session;
    if (!LogIn(session, "iqn.2026-12.org.tessaly:floor", argv[1], argv[2])) {
        return 1;
    }
    int commands = 0;
    int unexpected = 0;
    for (int lun = first; lun <= last; ++lun) {
        // READ FULL STATUS, READ KEYS, READ RESERVATION: tgt refuses the first.
        for (const unsigned char action : {0x03, 0x00, 0x01}) {
            unsigned char cdb[10] = {0x5E,
                                     action,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     static_cast<unsigned char>(allocation >> 8),
                                     static_cast<unsigned char>(allocation),
                                     0};
            int senseKey = 0;
            const int status = Send(session, lun, cdb, 10, allocation, nullptr, 0, &senseKey);
            ++commands;
            const bool expected = action == 0x03 ? status == SCSI_STATUS_CHECK_CONDITION &&
                                                       senseKey == SCSI_SENSE_ILLEGAL_REQUEST
                                                 : status == SCSI_STATUS_GOOD;
            unexpected += expected ? 0 : 1;
            if (status < 0) {
                std::fprintf(stderr, "LUN %d: %s\n", lun, iscsi_get_error(session.context));
                return 1;
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d %d %.6f\n", commands, unexpected, seconds);
    return 0;
}
