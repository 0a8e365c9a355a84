#include "driver/dispatch.h"
#include "driver/lifetime.h"
#include "platform/nt.h"
#include "trace/print.h"

// Size of the buffer in which the \Parameters key path is built.
constexpr USHORT ZK_KEY_PATH_SIZE = 512;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        DriverObject->MajorFunction[major] = ZK_IRP_Pass;

    DriverObject->MajorFunction[IRP_MJ_READ] = ZK_IRP_Read;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = ZK_IRP_Write;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZK_IRP_DeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ZK_IRP_InternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = ZK_IRP_Power;
    DriverObject->MajorFunction[IRP_MJ_PNP] = ZK_IRP_PnP;

    DriverObject->DriverExtension->AddDevice = ZK_AddDevice;
    DriverObject->DriverUnload = ZK_Unload;
    ZK_InitCallbackContexts();
    ZK_FindPerformanceCounter();

    // Make sure the configuration key exists, so that a tool has a place to
    // store values. Nothing here can stop the driver from loading: without
    // the key every device simply runs with its defaults.
    WCHAR pathBuffer[ZK_KEY_PATH_SIZE / sizeof(WCHAR)];
    UNICODE_STRING path;
    path.Buffer = pathBuffer;
    path.Length = 0;
    path.MaximumLength = ZK_KEY_PATH_SIZE;
    // A path that does not fit is not cut: the cut one would name the
    // service key itself.
    if (!NT_SUCCESS(RtlAppendUnicodeStringToString(&path, RegistryPath)) ||
        !NT_SUCCESS(RtlAppendUnicodeToString(&path, u"\\Parameters")))
        return STATUS_SUCCESS;

    OBJECT_ATTRIBUTES attributes;
    attributes.Length = sizeof(OBJECT_ATTRIBUTES);
    attributes.RootDirectory = NULL;
    attributes.ObjectName = &path;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityDescriptor = NULL;
    attributes.SecurityQualityOfService = NULL;

    HANDLE key;
    NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
    if (NT_SUCCESS(status))
        ZwClose(key);

    return STATUS_SUCCESS;
}

VOID ZK_Unload(PDRIVER_OBJECT DriverObject)
{
    // Every instance went away with its removal request; what is left are
    // the records behind the 1394 host's mapping routine, which a client
    // could call until now.
    (void)DriverObject;
    ZK_FreeRetiredCallbackContexts();
}
