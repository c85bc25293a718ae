// vlkpath.sys: the stand-in VLK multipath driver. It offers the control device "\\.\vlkpath" and
// answers IOCTL_PATH_PASS_THROUGH from the disk model, which starts with the disks of the set-up
// text in the service key (value Parameters\Setup) or, without one, the default disks.
#include <ntddk.h>

#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"
#include "sim/config/SetupApply.h"
#include "sim/driver/DeviceSecurity.h"
#include "sim/model/DiskModel.h"

// Exported by the kernel, declared in ntifs.h, which does not compile with this tree's warnings.
extern "C" {
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID object, ULONG handleAttributes,
                                                 PACCESS_STATE accessState, ACCESS_MASK access,
                                                 POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                                 PHANDLE handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                                            PSECURITY_DESCRIPTOR descriptor);
}

namespace {

constexpr ULONG kVlkDeviceType = 0x84C9;
constexpr ULONG kPassThroughCode = static_cast<ULONG>(
    CTL_CODE(kVlkDeviceType, 0x64, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS));
static_assert(kPassThroughCode == vlksim::kPassThroughCode);

constexpr ULONG kPoolTag = 0x6B6C5676;  // "vVlk" in a pool dump
// A set-up longer than this is not read: it is not a description of a handful of disks.
constexpr ULONG kMaxSetupValueBytes = 1024 * 1024;

wchar_t g_deviceNameText[] = L"\\Device\\vlkpath";
wchar_t g_linkNameText[] = L"\\DosDevices\\vlkpath";
wchar_t g_parametersText[] = L"Parameters";
wchar_t g_setupValueText[] = L"Setup";

// All of the driver's state: in the image's data, which is never paged out. Both types need no
// start-up code (the model is constant-initialised, the set-up all zero).
vlksim::DiskModel g_model;
vlksim::DiskSetup g_setup;
FAST_MUTEX g_modelLock;
UNICODE_STRING g_linkName;

UNICODE_STRING MakeString(wchar_t* text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
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

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
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

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != kPassThroughCode) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    // METHOD_BUFFERED: one system buffer holds the input and receives the output.
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (buffer == nullptr) {
        inputLength = 0;
        outputLength = 0;
    }
    std::uint32_t bytesReturned = 0;
    ExAcquireFastMutex(&g_modelLock);
    const NTSTATUS status =
        g_model.PassThrough(code, buffer, inputLength, buffer, outputLength, &bytesReturned);
    ExReleaseFastMutex(&g_modelLock);
    return Complete(irp, status, NT_SUCCESS(status) ? bytesReturned : 0);
}

void DriverUnload(PDRIVER_OBJECT driver) {
    IoDeleteSymbolicLink(&g_linkName);
    if (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

}  // namespace

// Everything is in place before anyone can reach the device: the disks and the dispatch table
// before the device, the device's descriptor before its link.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ExInitializeFastMutex(&g_modelLock);
    LoadSetup(registryPath);

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = DispatchQueryVolume;
    driver->DriverUnload = DriverUnload;

    UNICODE_STRING deviceName = MakeString(g_deviceNameText);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, kVlkDeviceType, kDeviceCharacteristics,
                                     FALSE, &device);
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
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_linkName = MakeString(g_linkNameText);
    status = IoCreateSymbolicLink(&g_linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        DbgPrint("vlkpath: IoCreateSymbolicLink failed (0x%08lx)\n",
                 static_cast<unsigned long>(status));
        IoDeleteDevice(device);
        return status;
    }
    return STATUS_SUCCESS;
}
