// Handles: the files an application opens on a device, and the requests it
// sends through them.
#include <cstring>

#include "simkernel/core.h"
#include "simkernel/iomgr_internal.h"

namespace sim {
using namespace io;
using namespace detail;

OpenResult OpenFile(const std::string& name, KPROCESSOR_MODE mode) {
    EnsureResetHook();
    PDEVICE_OBJECT device;
    PFILE_OBJECT file;
    {
        Lock lock(IoLock());
        NTSTATUS status;
        device = ResolveDevice(Widen(name), &status);
        if (device == nullptr) return OpenResult{status, nullptr};
        if (device->Flags & DO_DEVICE_INITIALIZING) return OpenResult{STATUS_NO_SUCH_DEVICE, nullptr};
        if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0)
            return OpenResult{STATUS_ACCESS_DENIED, nullptr};
        bool arena = false;
        file = static_cast<PFILE_OBJECT>(AllocateObject(sizeof(FILE_OBJECT), &arena));
        file->Type = kTypeFile;
        file->Size = sizeof(FILE_OBJECT);
        file->DeviceObject = device;
        file->ReadAccess = file->WriteAccess = TRUE;
        file->Lock.Header.Type = SynchronizationEvent;
        file->Lock.Header.Size = sizeof(KEVENT) / sizeof(LONG);
        InitializeListHead(&file->Lock.Header.WaitListHead);
        file->Event.Header.Type = NotificationEvent;
        file->Event.Header.Size = sizeof(KEVENT) / sizeof(LONG);
        InitializeListHead(&file->Event.Header.WaitListHead);
        InitializeListHead(&file->IrpList);
        State().files.emplace(file, arena);
        ObInsert(file, ObjectType::File, DestroyFile);
        ObReference(device, "OpenFile");
        ++device->ReferenceCount;
    }
    Request create(IRP_MJ_CREATE);
    create.File(file).Mode(mode).Setup([](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
        location->Parameters.Create.ShareAccess = 0x3;   // FILE_SHARE_READ | FILE_SHARE_WRITE
    });
    const IoResult result = Send(device, create);

    Lock lock(IoLock());
    if (!NT_SUCCESS(result.final)) {
        --device->ReferenceCount;
        ObDereference(device, "OpenFile");
        ObDereference(file, "OpenFile");
        return OpenResult{result.final, nullptr};
    }
    const uintptr_t value = State().nextHandle;
    State().nextHandle += 4;
    State().handles.emplace(value, HandleEntry{file, mode});
    return OpenResult{result.final, reinterpret_cast<HANDLE>(value)};
}

namespace {

std::optional<HandleEntry> LookUpHandle(HANDLE handle) {
    Lock lock(IoLock());
    const auto it = State().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == State().handles.end()) return std::nullopt;
    return it->second;
}

IoResult InvalidHandle() { return IoResult{kStatusInvalidHandle, kStatusInvalidHandle, 0}; }

}  // namespace

IoResult SendOnHandle(HANDLE handle, Request request) {
    const auto entry = LookUpHandle(handle);
    if (!entry) return InvalidHandle();
    request.File(entry->file).Mode(entry->mode);
    return Send(entry->file->DeviceObject, request);
}

IoResult DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength) {
    return SendOnHandle(handle, Request::DeviceControl(code, input, inputLength, output, outputLength));
}

IoResult DeviceIoControl(HANDLE handle, ULONG code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output) {
    return DeviceIoControl(handle, code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
                           output.empty() ? nullptr : output.data(), static_cast<ULONG>(output.size()));
}

IoResult ReadFile(HANDLE handle, void* buffer, ULONG length, LONGLONG offset) {
    return SendOnHandle(handle, Request::Read(buffer, length, offset));
}

IoResult WriteFile(HANDLE handle, const void* buffer, ULONG length, LONGLONG offset) {
    return SendOnHandle(handle, Request::Write(buffer, length, offset));
}

NTSTATUS CloseFile(HANDLE handle) {
    std::optional<HandleEntry> entry;
    {
        Lock lock(IoLock());
        entry = LookUpHandle(handle);
        if (!entry) return kStatusInvalidHandle;
        State().handles.erase(reinterpret_cast<uintptr_t>(handle));
    }
    PFILE_OBJECT file = entry->file;
    PDEVICE_OBJECT device = file->DeviceObject;
    // The I/O manager sends both from kernel mode, whoever opened the handle.
    Send(device, Request(IRP_MJ_CLEANUP).File(file));
    Send(device, Request(IRP_MJ_CLOSE).File(file));
    Lock lock(IoLock());
    --device->ReferenceCount;
    ObDereference(device, "CloseFile");
    ObDereference(file, "CloseFile");
    return STATUS_SUCCESS;
}

PFILE_OBJECT FileObjectOf(HANDLE handle) {
    const auto entry = LookUpHandle(handle);
    return entry ? entry->file : nullptr;
}

size_t OpenHandles() {
    Lock lock(IoLock());
    return State().handles.size();
}

}  // namespace sim
