// vlkpath.sys: the stand-in VLK multipath driver. It offers the control device "\\.\vlkpath",
// which answers IOCTL_PATH_PASS_THROUGH, and one disk object per path of each disk,
// "\\.\PhysicalDrive<10000 + 100 x device + path>", which answers IOCTL_SCSI_PASS_THROUGH and its
// DIRECT form; all from the disk model, which starts with the disks of the set-up text in the
// service key (value Parameters\Setup) or, without one, the default disks. A disk with a latency
// answers each request that long after it took it, from a worker thread; the requests wait in
// one queue per disk, in order.
#include <ntddk.h>

#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"
#include "sim/config/SetupApply.h"
#include "sim/driver/DeviceSecurity.h"
#include "sim/driver/GuardedCall.h"
#include "sim/driver/ScsiPassThrough.h"
#include "sim/model/DiskModel.h"

// Exported by the kernel, declared in ntifs.h (the last also in zwapi.h), which does not compile
// with this tree's warnings.
extern "C" {
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID object, ULONG handleAttributes,
                                                 PACCESS_STATE accessState, ACCESS_MASK access,
                                                 POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                                 PHANDLE handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                                            PSECURITY_DESCRIPTOR descriptor);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                              PLARGE_INTEGER timeout);
}

namespace {

constexpr ULONG kVlkDeviceType = 0x84C9;
constexpr ULONG kPassThroughCode = static_cast<ULONG>(
    CTL_CODE(kVlkDeviceType, 0x64, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS));
static_assert(kPassThroughCode == vlksim::kPassThroughCode);
constexpr std::uint32_t kDeviceCount = vlksim::kDeviceCount;
// Disk object of path P of device D: number 10000 + 100 D + P, clear of the numbers Windows and
// Wine give real disks.
constexpr std::uint32_t kDiskNumberBase = 10000;

constexpr ULONG kPoolTag = 0x6B6C5676;  // "vVlk" in a pool dump
// A set-up longer than this is not read: it is not a description of a handful of disks.
constexpr ULONG kMaxSetupValueBytes = 1024 * 1024;

wchar_t g_deviceNameText[] = L"\\Device\\vlkpath";
wchar_t g_linkNameText[] = L"\\DosDevices\\vlkpath";
wchar_t g_parametersText[] = L"Parameters";
wchar_t g_setupValueText[] = L"Setup";
constexpr wchar_t kDiskDeviceNamePrefix[] = L"\\Device\\VlkPathDisk";
constexpr wchar_t kDiskLinkNamePrefix[] = L"\\DosDevices\\PhysicalDrive";

// All of the driver's state: in the image's data, which is never paged out. Both types need no
// start-up code (the model is constant-initialised, the set-up all zero).
vlksim::DiskModel g_model;
vlksim::DiskSetup g_setup;
FAST_MUTEX g_modelLock;
UNICODE_STRING g_linkName;
std::uint32_t g_latencyMs[kDeviceCount];  // per disk, 0 for one that answers in place

// The requests waiting for their disk, one queue per disk, each IRP linked through
// Tail.Overlay.ListEntry; the head's answer is due at g_headDue (100 ns units of Now()). The
// lock guards the queues, the due times and g_stopping.
KSPIN_LOCK g_queueLock;
LIST_ENTRY g_queues[kDeviceCount];
LONGLONG g_headDue[kDeviceCount];
volatile LONG g_stopping;  // the driver is being unloaded
KEVENT g_wake;             // the worker looks at the queues again
HANDLE g_worker;           // the worker thread, while there is one
volatile LONG g_calls;     // dispatch and cancel routines running: the unload waits for them

UNICODE_STRING MakeString(wchar_t* text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

// Every device object's extension: the control device's says `disk` false.
struct DeviceExtension {
    bool disk;
    std::uint32_t device;
    std::uint32_t path;
    UNICODE_STRING link;  // the disk object's link
    wchar_t linkText[48];
};

DeviceExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceExtension*>(device->DeviceExtension);
}

// `prefix` followed by `number` in decimal, as a counted string in `text`.
void NumberedName(const wchar_t* prefix, std::uint32_t number, wchar_t (&text)[48],
                  UNICODE_STRING& name) {
    std::uint32_t length = 0;
    for (; prefix[length] != L'\0'; ++length) {
        text[length] = prefix[length];
    }
    wchar_t digits[10];
    std::uint32_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count != 0) {
        text[length++] = digits[--count];
    }
    text[length] = L'\0';
    name.Buffer = text;
    name.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    name.MaximumLength = static_cast<USHORT>(sizeof text);
}

// A monotonic clock in 100 ns units. Not KeQueryInterruptTime: Wine 8 answers that in
// milliseconds.
LONGLONG Now() {
    LARGE_INTEGER frequency;
    const LONGLONG counter = KeQueryPerformanceCounter(&frequency).QuadPart;
    const LONGLONG perSecond = frequency.QuadPart;
    return counter / perSecond * 10000000 + counter % perSecond * 10000000 / perSecond;
}

// Reads Parameters\Setup under the service key into a pool block of ASCII text. REG_SZ stops at
// its terminating zero; the strings of a REG_MULTI_SZ become lines. Characters outside ASCII
// become a byte the parser refuses. STATUS_OBJECT_NAME_NOT_FOUND when there is no such value.
NTSTATUS ReadSetupValue(PUNICODE_STRING registryPath, char** text, ULONG* length) {
    *text = nullptr;
    *length = 0;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE service = nullptr;
    NTSTATUS status = ZwOpenKey(&service, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING parametersName = MakeString(g_parametersText);
    InitializeObjectAttributes(&attributes, &parametersName,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, service, nullptr);
    HANDLE parameters = nullptr;
    status = ZwOpenKey(&parameters, KEY_READ, &attributes);
    ZwClose(service);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING valueName = MakeString(g_setupValueText);
    ULONG needed = 0;
    status =
        ZwQueryValueKey(parameters, &valueName, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        ZwClose(parameters);
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    // The information ends in its data, so an empty value (REG_SZ of no characters) needs fewer
    // bytes than the structure with its one byte of Data and the padding after it.
    constexpr ULONG kDataOffset = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (needed < kDataOffset || needed > kMaxSetupValueBytes) {
        ZwClose(parameters);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG blockSize = needed < sizeof(KEY_VALUE_PARTIAL_INFORMATION)
                                ? static_cast<ULONG>(sizeof(KEY_VALUE_PARTIAL_INFORMATION))
                                : needed;
    auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(
        ExAllocatePoolWithTag(PagedPool, blockSize, kPoolTag));
    if (info == nullptr) {
        ZwClose(parameters);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryValueKey(parameters, &valueName, KeyValuePartialInformation, info, blockSize,
                             &needed);
    ZwClose(parameters);
    if (!NT_SUCCESS(status) || needed < kDataOffset || needed > blockSize ||
        (info->Type != REG_SZ && info->Type != REG_MULTI_SZ) ||
        info->DataLength > needed - kDataOffset) {
        ExFreePoolWithTag(info, kPoolTag);
        return NT_SUCCESS(status) ? STATUS_OBJECT_TYPE_MISMATCH : status;
    }

    // UTF-16 to ASCII in place: character i is written to byte i, read from bytes 2i and 2i+1.
    const UCHAR* in = info->Data;
    char* out = reinterpret_cast<char*>(info->Data);
    const ULONG characters = info->DataLength / 2;
    ULONG written = 0;
    for (ULONG i = 0; i < characters; ++i) {
        const unsigned c = in[2 * i] | (static_cast<unsigned>(in[2 * i + 1]) << 8);
        if (c == 0) {
            if (info->Type == REG_SZ) {
                break;
            }
            out[written++] = '\n';
        } else {
            out[written++] = c < 0x80 ? static_cast<char>(c) : '\x7F';
        }
    }
    *text = out;
    *length = written;
    // The caller frees the whole block through the text's owner.
    return STATUS_SUCCESS;
}

void FreeSetupValue(char* text) {
    if (text != nullptr) {
        ExFreePoolWithTag(CONTAINING_RECORD(text, KEY_VALUE_PARTIAL_INFORMATION, Data), kPoolTag);
    }
}

void LoadDefaultSetup() {
    const vlksim::SetupParseResult result =
        vlksim::ParseSetup(vlksim::kDefaultSetupText, vlksim::kDefaultSetupLength, g_setup);
    if (!result.Ok() || !vlksim::ApplySetup(g_setup, g_model)) {
        DbgPrint("vlkpath: the default set-up does not load; no disks\n");
        g_model.Clear();
    }
}

// The service key's set-up when it has one that parses and loads, else the default disks.
void LoadSetup(PUNICODE_STRING registryPath) {
    char* text = nullptr;
    ULONG length = 0;
    const NTSTATUS status = ReadSetupValue(registryPath, &text, &length);
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
            DbgPrint("vlkpath: Parameters\\Setup not read (0x%08lx); default disks\n",
                     static_cast<unsigned long>(status));
        }
        LoadDefaultSetup();
        return;
    }
    const vlksim::SetupParseResult result = vlksim::ParseSetup(text, length, g_setup);
    FreeSetupValue(text);
    if (!result.Ok()) {
        DbgPrint("vlkpath: Parameters\\Setup line %lu: %s; default disks\n",
                 static_cast<unsigned long>(result.line), vlksim::SetupErrorText(result.error));
        LoadDefaultSetup();
        return;
    }
    if (!vlksim::ApplySetup(g_setup, g_model)) {
        DbgPrint("vlkpath: the disk model refused Parameters\\Setup; default disks\n");
        LoadDefaultSetup();
    }
}

// The control device is opened only by SYSTEM and the Administrators (sim/driver/DeviceSecurity.h),
// also for names below it (FILE_DEVICE_SECURE_OPEN).
constexpr ULONG kDeviceCharacteristics = FILE_DEVICE_SECURE_OPEN;

// Gives the device its descriptor through a kernel handle to it (Wine has no
// ObSetSecurityObjectByPointer; the handle works on both).
NTSTATUS SecureDevice(PDEVICE_OBJECT device) {
    vlkpath::DeviceSecurityDescriptor descriptor;
    HANDLE handle = nullptr;
    NTSTATUS status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr,
                                            KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
    ZwClose(handle);
    return status;
}

// What a request waiting in a queue carries in the IRP's DriverContext.
enum Context : int { kTarget = 0, kMdl = 1, kMappedData = 2 };
constexpr std::uint32_t kNoDevice = 0xFFFFFFFF;

// The disk a request is for, and from which device object: the control device, or the disk
// object of one path.
struct Target {
    bool disk;
    std::uint32_t device;
    std::uint32_t path;
};

void SetTarget(PIRP irp, Target target) {
    irp->Tail.Overlay.DriverContext[kTarget] =
        reinterpret_cast<PVOID>((static_cast<ULONG_PTR>(target.disk) << 40) |
                                (static_cast<ULONG_PTR>(target.path) << 32) | target.device);
}

Target TargetOf(PIRP irp) {
    const auto packed = reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[kTarget]);
    return {((packed >> 40) & 1) != 0, static_cast<std::uint32_t>(packed),
            static_cast<std::uint32_t>((packed >> 32) & 0xFF)};
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completes a control request, first giving back the pages a DIRECT call locked.
NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    if (auto* mdl = static_cast<PMDL>(irp->Tail.Overlay.DriverContext[kMdl])) {
        irp->Tail.Overlay.DriverContext[kMdl] = nullptr;
        if ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
    }
    return Complete(irp, status, information);
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS, 0);
}

// The device's type and characteristics. Windows' I/O manager answers this from the device object
// itself; Wine passes it on to the driver.
NTSTATUS DispatchQueryVolume(PDEVICE_OBJECT device, PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.QueryVolume.FsInformationClass != FileFsDeviceInformation) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    auto* info = static_cast<FILE_FS_DEVICE_INFORMATION*>(irp->AssociatedIrp.SystemBuffer);
    if (info == nullptr || stack->Parameters.QueryVolume.Length < sizeof *info) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    info->DeviceType = device->DeviceType;
    info->Characteristics = device->Characteristics;
    return Complete(irp, STATUS_SUCCESS, sizeof *info);
}

// Runs a request on the model, one at a time, and completes it with the model's answer.
NTSTATUS Answer(PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG inputLength =
        buffer != nullptr ? stack->Parameters.DeviceIoControl.InputBufferLength : 0;
    const ULONG outputLength =
        buffer != nullptr ? stack->Parameters.DeviceIoControl.OutputBufferLength : 0;
    const Target target = TargetOf(irp);
    NTSTATUS status = STATUS_SUCCESS;
    std::uint32_t bytes = 0;
    ExAcquireFastMutex(&g_modelLock);
    if (!target.disk) {
        status = g_model.PassThrough(code, buffer, inputLength, buffer, outputLength, &bytes);
    } else {
        // Checked when the request came in; the buffer has not changed since.
        vlkpath::ScsiCall call{};
        vlkpath::ReadScsiCall(code == vlkpath::kScsiPassThroughDirectCode, buffer, inputLength,
                              outputLength, call);
        auto* data = call.direct
                         ? static_cast<std::uint8_t*>(irp->Tail.Overlay.DriverContext[kMappedData])
                         : buffer + call.data;
        bytes = vlkpath::RunScsiCall(g_model, target.device, target.path, call, buffer, data);
    }
    ExReleaseFastMutex(&g_modelLock);
    return Finish(irp, status, NT_SUCCESS(status) ? bytes : 0);
}

// Takes the first request off a disk's queue, which must not be empty. None when that request is
// being cancelled: its cancel routine completes it. Under the queue lock.
PIRP TakeHead(std::uint32_t device) {
    PLIST_ENTRY entry = RemoveHeadList(&g_queues[device]);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
        return irp;
    }
    // The cancel routine runs or is about to: its RemoveEntryList finds the entry alone.
    InitializeListHead(entry);
    return nullptr;
}

// A disk starts on the request at the head of its queue: its answer is due one latency later.
void StartHead(std::uint32_t device) {
    g_headDue[device] = Now() + LONGLONG{g_latencyMs[device]} * 10000;
}

void CancelQueued(PDEVICE_OBJECT, PIRP irp) {
    InterlockedIncrement(&g_calls);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    const std::uint32_t device = TargetOf(irp).device;
    KIRQL irql;
    KeAcquireSpinLock(&g_queueLock, &irql);
    const bool head = g_queues[device].Flink == &irp->Tail.Overlay.ListEntry;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    if (head && !IsListEmpty(&g_queues[device])) {
        StartHead(device);
    }
    KeReleaseSpinLock(&g_queueLock, irql);
    if (head) {
        KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE);
    }
    Finish(irp, STATUS_CANCELLED, 0);
    InterlockedDecrement(&g_calls);
}

// Answers the request at once when its disk has no latency, else queues it, cancellable, behind
// the disk's other requests.
NTSTATUS AnswerOrQueue(PIRP irp, Target target) {
    SetTarget(irp, target);
    if (target.device >= kDeviceCount || g_latencyMs[target.device] == 0) {
        return Answer(irp);
    }
    KIRQL irql;
    KeAcquireSpinLock(&g_queueLock, &irql);
    if (g_stopping != 0) {
        KeReleaseSpinLock(&g_queueLock, irql);
        return Finish(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
    }
    static_cast<void>(IoSetCancelRoutine(irp, CancelQueued));
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&g_queueLock, irql);
        return Finish(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    const bool first = IsListEmpty(&g_queues[target.device]);
    InsertTailList(&g_queues[target.device], &irp->Tail.Overlay.ListEntry);
    if (first) {
        StartHead(target.device);
    }
    KeReleaseSpinLock(&g_queueLock, irql);
    if (first) {
        KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_PENDING;
}

// The worker: answers the request whose answer is due first, once it is due, until the driver
// stops.
void Worker(PVOID) {
    for (;;) {
        PIRP due = nullptr;
        LONGLONG next = 0;
        KIRQL irql;
        KeAcquireSpinLock(&g_queueLock, &irql);
        if (g_stopping != 0) {
            KeReleaseSpinLock(&g_queueLock, irql);
            break;
        }
        std::uint32_t first = kNoDevice;
        for (std::uint32_t d = 0; d < kDeviceCount; ++d) {
            if (!IsListEmpty(&g_queues[d]) && (first == kNoDevice || g_headDue[d] < next)) {
                first = d;
                next = g_headDue[d];
            }
        }
        const LONGLONG now = Now();
        const bool isDue = first != kNoDevice && next <= now;
        if (isDue) {
            due = TakeHead(first);  // none when it is being cancelled: look again
            if (!IsListEmpty(&g_queues[first])) {
                StartHead(first);
            }
        }
        KeReleaseSpinLock(&g_queueLock, irql);
        if (due != nullptr) {
            Answer(due);
        } else if (!isDue) {
            LARGE_INTEGER timeout;
            timeout.QuadPart = now - next;  // relative: negative
            KeWaitForSingleObject(&g_wake, Executive, KernelMode, FALSE,
                                  first != kNoDevice ? &timeout : nullptr);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Reads a disk object's request, and for the DIRECT form locks and maps the caller's pages as
// Windows' port drivers do. Under Wine the mapping fails (MmMapLockedPagesSpecifyCache is a stub
// there) and so does the request, with STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS StartDiskCall(const DeviceExtension& disk, PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != vlkpath::kScsiPassThroughCode && code != vlkpath::kScsiPassThroughDirectCode) {
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    vlkpath::ScsiCall call{};
    if (!vlkpath::ReadScsiCall(code == vlkpath::kScsiPassThroughDirectCode,
                               static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                               stack->Parameters.DeviceIoControl.InputBufferLength,
                               stack->Parameters.DeviceIoControl.OutputBufferLength, call)) {
        return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (call.direct && call.transferLength != 0) {
        PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(call.data)),
                                 call.transferLength, FALSE, FALSE, nullptr);
        if (mdl == nullptr) {
            return Finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        irp->Tail.Overlay.DriverContext[kMdl] = mdl;
        const LOCK_OPERATION operation =
            call.direction == vlkpath::ScsiDirection::Out  ? IoReadAccess
            : call.direction == vlkpath::ScsiDirection::In ? IoWriteAccess
                                                           : IoModifyAccess;
        // MmProbeAndLockPages raises an exception for pages the caller may not use.
        if (vlkpath_GuardedCall(
                [](void* pages, std::uintptr_t mode, std::uintptr_t access) {
                    MmProbeAndLockPages(static_cast<PMDL>(pages),
                                        static_cast<KPROCESSOR_MODE>(mode),
                                        static_cast<LOCK_OPERATION>(access));
                },
                mdl, static_cast<std::uintptr_t>(irp->RequestorMode),
                static_cast<std::uintptr_t>(operation)) != 0) {
            return Finish(irp, STATUS_INVALID_USER_BUFFER, 0);
        }
        void* mapped = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        if (mapped == nullptr) {
            return Finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        irp->Tail.Overlay.DriverContext[kMappedData] = mapped;
    }
    return AnswerOrQueue(irp, Target{true, disk.device, disk.path});
}

NTSTATUS StartControlCall(PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != kPassThroughCode) {
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    // METHOD_BUFFERED: one system buffer holds the input and receives the output. The request
    // names its disk in its first four bytes; one without them is refused by the model at once.
    const auto* buffer = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const std::uint32_t device =
        buffer != nullptr && stack->Parameters.DeviceIoControl.InputBufferLength >= 4
            ? tessaly::LoadLe32(buffer)
            : kNoDevice;
    return AnswerOrQueue(irp, Target{false, device, 0});
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    InterlockedIncrement(&g_calls);
    irp->Tail.Overlay.DriverContext[kMdl] = nullptr;
    irp->Tail.Overlay.DriverContext[kMappedData] = nullptr;
    NTSTATUS status;
    if (InterlockedCompareExchange(&g_stopping, 0, 0) != 0) {
        status = Complete(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
    } else {
        const DeviceExtension& extension = *ExtensionOf(device);
        status = extension.disk ? StartDiskCall(extension, irp) : StartControlCall(irp);
    }
    InterlockedDecrement(&g_calls);
    return status;
}

// Stops the worker, completes every request still waiting as cancelled, waits for the dispatch
// and cancel routines still running (g_calls), and deletes the devices: under Wine the image is
// unloaded right after.
void DriverUnload(PDRIVER_OBJECT driver) {
    KIRQL irql;
    KeAcquireSpinLock(&g_queueLock, &irql);
    InterlockedExchange(&g_stopping, 1);
    KeReleaseSpinLock(&g_queueLock, irql);
    KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE);
    if (g_worker != nullptr) {
        ZwWaitForSingleObject(g_worker, FALSE, nullptr);
        ZwClose(g_worker);
        g_worker = nullptr;
    }
    // No request is queued from here on (g_stopping); those waiting go as cancelled.
    for (std::uint32_t d = 0; d < kDeviceCount; ++d) {
        for (;;) {
            KeAcquireSpinLock(&g_queueLock, &irql);
            const bool empty = IsListEmpty(&g_queues[d]);
            PIRP irp = empty ? nullptr : TakeHead(d);
            KeReleaseSpinLock(&g_queueLock, irql);
            if (empty) {
                break;
            }
            if (irp != nullptr) {
                Finish(irp, STATUS_CANCELLED, 0);
            }
        }
    }
    // Dispatch routines (on Wine's request thread) and cancel routines that are still running
    // end before the image goes.
    LARGE_INTEGER pause;
    pause.QuadPart = -10000;  // 1 ms
    while (InterlockedCompareExchange(&g_calls, 0, 0) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    IoDeleteSymbolicLink(&g_linkName);
    PDEVICE_OBJECT device = driver->DeviceObject;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice;
        if (ExtensionOf(device)->disk) {
            IoDeleteSymbolicLink(&ExtensionOf(device)->link);
        }
        IoDeleteDevice(device);
        device = next;
    }
}

// A device with its descriptor; `disk` false for the control device. Deleted again when it
// cannot have its descriptor.
NTSTATUS CreateSecureDevice(PDRIVER_OBJECT driver, PUNICODE_STRING name, ULONG type,
                            PDEVICE_OBJECT* created) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), name, type,
                                     kDeviceCharacteristics, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        DbgPrint("vlkpath: IoCreateDevice failed (0x%08lx)\n", static_cast<unsigned long>(status));
        return status;
    }
    // Wine does not keep the characteristics given to IoCreateDevice; Windows already has them.
    device->Characteristics |= kDeviceCharacteristics;
    // A device that anyone could open is worse than none: without its descriptor it goes.
    status = SecureDevice(device);
    if (!NT_SUCCESS(status)) {
        DbgPrint("vlkpath: the device's security descriptor was not set (0x%08lx)\n",
                 static_cast<unsigned long>(status));
        IoDeleteDevice(device);
        return status;
    }
    *ExtensionOf(device) = {};
    device->Flags |= DO_BUFFERED_IO;
    *created = device;
    return STATUS_SUCCESS;
}

// The disk objects of every path of every disk, each with its link.
NTSTATUS CreateDiskObjects(PDRIVER_OBJECT driver) {
    for (std::uint32_t d = 0; d < kDeviceCount; ++d) {
        for (std::uint32_t p = 0; p < vlksim::kPathCount; ++p) {
            if (!g_model.HasPath(d, p)) {
                continue;
            }
            const std::uint32_t number = kDiskNumberBase + 100 * d + p;
            wchar_t nameText[48];
            UNICODE_STRING name;
            NumberedName(kDiskDeviceNamePrefix, number, nameText, name);
            PDEVICE_OBJECT device = nullptr;
            NTSTATUS status = CreateSecureDevice(driver, &name, FILE_DEVICE_DISK, &device);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            DeviceExtension& disk = *ExtensionOf(device);
            disk.disk = true;
            disk.device = d;
            disk.path = p;
            NumberedName(kDiskLinkNamePrefix, number, disk.linkText, disk.link);
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            status = IoCreateSymbolicLink(&disk.link, &name);
            if (!NT_SUCCESS(status)) {
                DbgPrint("vlkpath: IoCreateSymbolicLink failed (0x%08lx)\n",
                         static_cast<unsigned long>(status));
                disk.disk = false;  // no link to delete
                return status;
            }
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

// Everything is in place before anyone can reach a device: the disks, the queues and the dispatch
// table before the devices, each device's descriptor before its link. The worker starts last;
// until then requests wait in their queues.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ExInitializeFastMutex(&g_modelLock);
    KeInitializeSpinLock(&g_queueLock);
    KeInitializeEvent(&g_wake, SynchronizationEvent, FALSE);
    LoadSetup(registryPath);
    for (std::uint32_t d = 0; d < kDeviceCount; ++d) {
        InitializeListHead(&g_queues[d]);
        g_latencyMs[d] = g_model.HasDevice(d) ? vlksim::SetupLatency(g_setup, d) : 0;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = DispatchQueryVolume;
    driver->DriverUnload = DriverUnload;

    UNICODE_STRING deviceName = MakeString(g_deviceNameText);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = CreateSecureDevice(driver, &deviceName, kVlkDeviceType, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_linkName = MakeString(g_linkNameText);
    status = IoCreateSymbolicLink(&g_linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        DbgPrint("vlkpath: IoCreateSymbolicLink failed (0x%08lx)\n",
                 static_cast<unsigned long>(status));
        IoDeleteDevice(device);
        return status;
    }
    status = CreateDiskObjects(driver);
    if (NT_SUCCESS(status)) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        status = PsCreateSystemThread(&g_worker, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                      Worker, nullptr);
        if (!NT_SUCCESS(status)) {
            g_worker = nullptr;
            DbgPrint("vlkpath: the worker thread did not start (0x%08lx)\n",
                     static_cast<unsigned long>(status));
        }
    }
    if (!NT_SUCCESS(status)) {
        DriverUnload(driver);
    }
    return status;
}
