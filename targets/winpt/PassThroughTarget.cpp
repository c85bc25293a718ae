#include "targets/winpt/PassThroughTarget.h"

#include <windows.h>

#include "win32/OverlappedCall.h"
// After windows.h.
#include <ntddscsi.h>

#include <cstddef>

#include "targets/vlk/VlkTarget.h"
#include "win32/Win32MessageLookup.h"

namespace tessaly::targets {
namespace {

// The layout of PassThroughBuffer is the platform's.
static_assert(sizeof(SCSI_PASS_THROUGH) == winpt::kHeaderSize);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == winpt::kHeaderSize);
static_assert(offsetof(SCSI_PASS_THROUGH, Length) == winpt::field::kLength);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == winpt::field::kScsiStatus);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == winpt::field::kCdbLength);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == winpt::field::kSenseInfoLength);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == winpt::field::kDataIn);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == winpt::field::kDataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == winpt::field::kTimeOutValue);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == winpt::field::kDataBuffer);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == winpt::field::kDataBuffer);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == winpt::field::kSenseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) ==
              winpt::field::kSenseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == winpt::field::kCdb);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == winpt::field::kCdb);
static_assert(sizeof(SCSI_PASS_THROUGH::Cdb) == winpt::kCdbFieldSize);
static_assert(SCSI_IOCTL_DATA_OUT == winpt::kDataOut && SCSI_IOCTL_DATA_IN == winpt::kDataIn &&
              SCSI_IOCTL_DATA_UNSPECIFIED == winpt::kDataUnspecified);
static_assert(winpt::kDataOffset % alignof(SCSI_PASS_THROUGH) == 0);

HANDLE AsHandle(void* handle) {
    return static_cast<HANDLE>(handle);
}

// A failure with the system's number and text: "WHAT (error N: TEXT)" and the rest after it.
scsi::Outcome Failure(scsi::FailureKind kind, bool sent, DWORD error, const std::string& what,
                      const std::string& rest = {}) {
    win32::Win32MessageLookup messages;
    const std::string text = SystemText(messages, error);
    scsi::Outcome outcome = scsi::Outcome::Failed(
        kind,
        what + " (error " + std::to_string(error) + (text.empty() ? "" : ": " + text) + ")" + rest,
        error, sent);
    outcome.facts.push_back(scsi::Fact::Text("error_text", text));
    return outcome;
}

}  // namespace

PassThroughTarget::PassThroughTarget(std::string name, PassThroughForm form)
    : name_(std::move(name)),
      device_(DiskDeviceName(name_).value_or(name_)),
      form_(form),
      standIn_(StandInDiskObject(device_)),
      handle_(INVALID_HANDLE_VALUE) {}

PassThroughTarget::~PassThroughTarget() {
    if (AsHandle(handle_) != INVALID_HANDLE_VALUE) {
        CloseHandle(AsHandle(handle_));
    }
    if (pages_ != nullptr) {
        VirtualFree(pages_, 0, MEM_RELEASE);
    }
}

bool PassThroughTarget::Open(scsi::Outcome& outcome) {
    if (AsHandle(handle_) != INVALID_HANDLE_VALUE) {
        return true;
    }
    const HANDLE handle = CreateFileA(device_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        handle_ = handle;
        return true;
    }
    const DWORD error = GetLastError();
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            outcome = Failure(scsi::FailureKind::NoDevice, false, error, "no such disk");
            break;
        case ERROR_ACCESS_DENIED:
            outcome = Failure(scsi::FailureKind::Failed, false, error, "cannot open the disk",
                              ": SCSI pass-through needs an elevated console (Run as "
                              "administrator)");
            outcome.facts.push_back(scsi::Fact::NoPermission());
            break;
        default:
            outcome = Failure(scsi::FailureKind::Failed, false, error, "cannot open the disk");
            break;
    }
    return false;
}

scsi::Outcome PassThroughTarget::Execute(const scsi::Request& request) {
    scsi::Outcome outcome;
    if (form_ == PassThroughForm::Direct && pages_ == nullptr) {
        // Whole pages: any adapter's alignment.
        pages_ = VirtualAlloc(nullptr, winpt::kMaxData, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (pages_ == nullptr) {
            const DWORD error = GetLastError();
            return Failure(scsi::FailureKind::Failed, false, error,
                           "not sent: no pages for the data");
        }
    }
    std::string why;
    if (!buffer_.Prepare(request, static_cast<std::uint8_t*>(pages_), why)) {
        return scsi::Outcome::Failed(scsi::FailureKind::Failed, "not sent: " + why, 0, false);
    }
    if (!Open(outcome)) {
        return outcome;
    }
    const DWORD code =
        form_ == PassThroughForm::Direct ? IOCTL_SCSI_PASS_THROUGH_DIRECT : IOCTL_SCSI_PASS_THROUGH;
    // Overlapped, so that a disk that never answers holds only its own caller, until the
    // request's time and a little more (the port driver's own timeout comes first).
    std::uint32_t returned = 0;
    const std::uint32_t error = win32::OverlappedControl(
        handle_, code, buffer_.Bytes(), buffer_.InputLength(), buffer_.Bytes(),
        buffer_.OutputLength(), &returned, (request.timeoutSeconds + 2) * 1000);
    if (error != 0) {
        switch (error) {
            case ERROR_SEM_TIMEOUT:
            case win32::kCallTimedOut:
            case ERROR_OPERATION_ABORTED:
                outcome = Failure(scsi::FailureKind::Interrupted, true, error,
                                  "sent, but no answer came");
                break;
            case ERROR_INVALID_FUNCTION:
            case ERROR_NOT_SUPPORTED:
                outcome = Failure(scsi::FailureKind::Failed, true, error,
                                  "the device takes no SCSI pass-through",
                                  ": not a disk, or its driver passes no commands through");
                break;
            default:
                outcome =
                    Failure(scsi::FailureKind::Failed, true, error, "the pass-through call failed");
                break;
        }
        return outcome;
    }
    return buffer_.Read(returned);
}

std::string PassThroughTarget::InitiatorName() const {
    return standIn_ ? VlkPathInitiatorName(standIn_->path) : std::string();
}

std::vector<scsi::Fact> PassThroughTarget::Describe() const {
    std::vector<scsi::Fact> facts = {scsi::Fact::Text("kind", "scsi-pass-through"),
                                     scsi::Fact::Text("device_name", device_)};
    if (standIn_) {
        facts.push_back(scsi::Fact::Number("device", standIn_->device));
        facts.push_back(scsi::Fact::Number("path", standIn_->path));
    }
    return facts;
}

}  // namespace tessaly::targets
