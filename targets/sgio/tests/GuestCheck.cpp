// Run in the Linux guest under QEMU (testing/guest) by the test sgio_guest: SgioTarget and
// MultipathMap on the guest's disks, paths and map, through the scsi:: builders and decoders. Disk
// A has two paths (two iSCSI sessions of QEMU, two I_T nexuses) under the map, disk B one. One line
// for each check, "ok ..." or "FAIL ..."; exit status 1 when one failed.
#include <grp.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "scsi/Replies.h"
#include "scsi/Sense.h"
#include "targets/sgio/MultipathMap.h"
#include "targets/sgio/SgioReply.h"

namespace {

using namespace tessaly;
using scsi::PrAction;

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok" : "FAIL", what.c_str());
    failures += ok ? 0 : 1;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Fact(const scsi::Target& target, const std::string& name) {
    for (const scsi::Fact& fact : target.Describe()) {
        if (fact.name == name) {
            return fact.text;
        }
    }
    return "";
}

scsi::ReservationKey Key(std::uint8_t last) {
    return {0, 0, 0, 0, 0, 0, 0xAB, last};
}

// As tessaly-cli asks: a reply as long as the target takes, at most 65535 bytes.
std::uint16_t Allocation(const scsi::Target& target) {
    return static_cast<std::uint16_t>(std::min(target.MaxDataIn(), 0xFFFFu));
}

// One command, sent again after a unit attention (each nexus meets one after QEMU's login).
scsi::Outcome Send(scsi::Target& target, PrAction action, scsi::PrFields fields = {}) {
    fields.allocationLength = Allocation(target);
    scsi::Outcome outcome;
    for (int attempt = 0; attempt < 3; ++attempt) {
        outcome = target.Execute(scsi::MakeRequest(action, fields, 10));
        const auto sense = scsi::DecodeSense(outcome.sense);
        if (!sense || sense->key != scsi::kSenseUnitAttention) {
            break;
        }
    }
    return outcome;
}

bool Good(const scsi::Outcome& outcome) {
    return outcome.Ran() && outcome.status == scsi::kStatusGood;
}

std::string Said(const scsi::Outcome& outcome) {
    return outcome.Ran() ? scsi::StatusName(outcome.status) : outcome.failureText;
}

// The last byte of every key the device lists: "[17,34]"; why not, when it did not answer.
std::string Keys(scsi::Target& target) {
    const scsi::Outcome outcome = Send(target, PrAction::ReadKeys);
    const auto keys = scsi::DecodeReadKeys(outcome.dataIn, Allocation(target));
    if (!Good(outcome) || !keys.reply) {
        return Said(outcome) + keys.problem;
    }
    std::string text;
    for (const scsi::ReservationKey& key : keys.reply->keys) {
        text += (text.empty() ? "" : ",") + std::to_string(key[7]);
    }
    return "[" + text + "]";
}

// The access modes of this process's descriptors of `node`, lowest first: "r rw".
std::string Modes(const std::string& node) {
    std::string modes;
    for (int fd = 0; fd < 64; ++fd) {
        std::error_code error;
        if (std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error) == node) {
            std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
            std::string word;
            unsigned long flags = 0;
            while (info >> word && word != "flags:") {
            }
            info >> std::oct >> flags;
            modes += std::string(modes.empty() ? "" : " ") + ((flags & 3) == 0 ? "r" : "rw");
        }
    }
    return modes;
}

bool DropRawIo() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    const unsigned bit = 1u << (CAP_SYS_RAWIO % 32);
    auto& word = data[CAP_SYS_RAWIO / 32];
    return syscall(SYS_capget, &header, data) == 0 &&
           ((word.effective &= ~bit), (word.permitted &= ~bit), (word.inheritable &= ~bit),
            syscall(SYS_capset, &header, data) == 0);
}

bool BecomeNobody() {
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

// In a child process that `drop` took a privilege from: READ KEYS on `device` is refused with
// `error`, marked as a want of permission.
void RefusedWithout(bool (*drop)(), const std::string& device, int error) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const bool dropped = drop();
        targets::SgioTarget target(device);
        const scsi::Outcome outcome = Send(target, PrAction::ReadKeys);
        const bool ok = dropped && outcome.failure == scsi::FailureKind::Failed &&
                        outcome.failureNumber == error && outcome.NoPermission();
        Check(ok, "READ KEYS on " + device + " refused: " + outcome.failureText);
        std::fflush(stdout);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    failures += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

}  // namespace

int main() {
    const std::string a1 = Env("TESSALY_GUEST_A_SD1"), a2 = Env("TESSALY_GUEST_A_SD2");
    const std::string g1 = Env("TESSALY_GUEST_A_SG1"), g2 = Env("TESSALY_GUEST_A_SG2");
    const std::string mapNode = Env("TESSALY_GUEST_A_MAP"), dm = Env("TESSALY_GUEST_A_DM");
    const std::string b = Env("TESSALY_GUEST_B_SD"), bg = Env("TESSALY_GUEST_B_SG");

    // A disk and its generic node name each other; links are followed.
    targets::SgioTarget sd1(a1), sg1(g1), diskB(b);
    std::filesystem::create_symlink(a1, "/tmp/disk-link");
    std::filesystem::create_symlink(mapNode, "/tmp/map-link");
    Check(Fact(sd1, "sg") == g1 && Fact(sg1, "disk") == a1 && Fact(diskB, "sg") == bg &&
              Fact(sd1, "scsi_address") == Fact(sg1, "scsi_address") &&
              Fact(targets::SgioTarget("/tmp/disk-link"), "node") == a1,
          a1 + " is " + Fact(sd1, "scsi_address") + " with " + g1 + ", its limit " +
              std::to_string(sd1.MaxDataIn()) + " bytes; a link to it leads to it");
    Check(sd1.InitiatorName().empty(), "no initiator name under QEMU's own iSCSI client");

    // What is no SCSI device ends NoDevice, unsent.
    for (const std::string path : {"/nonexistent", "/init", "/dev/null", mapNode.c_str()}) {
        const scsi::Outcome outcome =
            Send(*std::make_unique<targets::SgioTarget>(path), PrAction::ReadKeys);
        Check(outcome.failure == scsi::FailureKind::NoDevice && !outcome.sent,
              path + " refused: " + outcome.failureText);
    }

    // The map, by any of its names, and its paths.
    const auto pathsOf = [](const std::string& name) {
        std::string list;
        const auto map = targets::MultipathMap::Open(name);
        for (const auto& path : map ? map->Paths() : std::vector<targets::MapPath>{}) {
            list += " " + path.node;
        }
        return list;
    };
    const std::string both = " " + std::min(a1, a2) + " " + std::max(a1, a2);
    Check(pathsOf(mapNode) == both && pathsOf(dm) == both && pathsOf("/tmp/map-link") == both &&
              !targets::IsMap(a1),
          "the paths of " + mapNode + ", " + dm + " and a link to it:" + pathsOf(mapNode));
    const auto map = targets::MultipathMap::Open(mapNode);
    if (!map || map->Paths().size() != 2) {
        return 1;
    }
    auto paths = map->OpenPaths();
    scsi::Target& path1 = *paths[0];
    scsi::Target& path2 = *paths[1];

    // A fresh disk has no keys, however reached; a read opens it read-only.
    targets::SgioTarget probe(g2);
    const bool none =
        Keys(sd1) == "[]" && Keys(sg1) == "[]" && Keys(path1) == "[]" && Keys(probe) == "[]";
    Check(none && Modes(g2) == "r", "no keys through " + a1 + ", " + g1 + ", " + path1.Where() +
                                        " and " + g2 + ", opened " + Modes(g2));

    // One registration through each path of the map: two I_T nexuses, disk B untouched.
    scsi::PrFields fields;
    fields.serviceActionKey = Key(0x11);
    const scsi::Outcome first = Send(path1, PrAction::Register, fields);
    fields.serviceActionKey = Key(0x22);
    const scsi::Outcome second = Send(path2, PrAction::Register, fields);
    Check(Good(first) && Good(second) && Keys(sd1) == "[17,34]" && Keys(path2) == "[17,34]" &&
              Keys(diskB) == "[]",
          "REGISTER through " + path1.Where() + " (" + Said(first) + ") and " + path2.Where() +
              " (" + Said(second) + "): " + Keys(sg1));
    // The generic node of path 2 is path 2's nexus: its key registered again adds none.
    const scsi::Outcome again = Send(probe, PrAction::RegisterAndIgnoreExistingKey, fields);
    const bool same = Good(again) && Keys(probe) == "[17,34]";
    Check(same && Modes(g2) == "r rw",
          g2 + ": REGISTER AND IGNORE EXISTING KEY " + Said(again) + ", opened " + Modes(g2));

    // A reservation through path 1, seen through path 2, refused to path 2.
    fields = {};
    fields.reservationKey = Key(0x11);
    fields.scopeAndType = scsi::kTypeWriteExclusive;
    const scsi::Outcome reserve = Send(path1, PrAction::Reserve, fields);
    const scsi::Outcome read = Send(path2, PrAction::ReadReservation);
    const auto held = scsi::DecodeReadReservation(read.dataIn, Allocation(path2));
    fields.reservationKey = Key(0x22);
    const scsi::Outcome conflict = Send(path2, PrAction::Reserve, fields);
    Check(Good(reserve) && held.reply && held.reply->held && held.reply->key == Key(0x11) &&
              held.reply->type == scsi::kTypeWriteExclusive &&
              conflict.status == scsi::kStatusReservationConflict && conflict.Ran(),
          "RESERVE through path 1 " + Said(reserve) + ", READ RESERVATION through path 2 " +
              Said(read) + ", RESERVE through path 2 " + Said(conflict));

    // Without CAP_SYS_RAWIO the ioctl is refused; as nobody the open is.
    RefusedWithout(DropRawIo, a1, EPERM);
    RefusedWithout(DropRawIo, g1, EPERM);
    RefusedWithout(BecomeNobody, a1, EACCES);

    std::printf("%s\n", failures == 0 ? "all passed" : "failures");
    return failures == 0 ? 0 : 1;
}
