// zktest.sys: the stack around the filter when the real zelkor.sys runs on a
// kernel that does not build device stacks for it. At load it reads a story
// (the simulator's scenario format, a subset of its commands) from
// C:\zelkor-story.scn and plays it: it creates the lower devices (PDOs),
// hands each to the filter's add-device routine as the Plug and Play manager
// would, sends requests to the top of each stack, and answers them in the
// lower device as the story says. Every step is announced on the debugger
// ("zktest: step N: ...") so the text can be compared step by step with the
// simulator's; a step that ends other than the story expects prints
// "zktest: FAIL ...", and the end of the story "zktest: done". At a `pause`
// the entry routine returns with the stacks built, so that programs can run
// against the loaded filter, and the unload routine plays the rest.
#include "platform/nt.h"
#include "tests/wine/driver/freed.h"
#include "tests/wine/driver/ieee1394.h"
#include "tests/wine/driver/kernel.h"
#include "tests/wine/driver/lower.h"
#include "tests/wine/driver/names.h"
#include "tests/wine/driver/play.h"
#include "tests/wine/driver/standins.h"
#include "tests/wine/driver/story.h"

namespace {

using namespace zkt;

constexpr ULONG kMaxDevices = 16;
constexpr ULONG kMaxHandles = 8;
constexpr ULONG kStoryLimit = 64 * 1024;

const WCHAR kParameters[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zelkor\\Parameters";

// A handle a story opened, as a program holds one.
struct Handle {
    CHAR name[32];
    HANDLE handle;
};

struct Globals {
    PDRIVER_OBJECT self;
    PDRIVER_OBJECT filter;
    UNICODE_STRING serviceKeyName;  // the filter's, as the kernel gave it
    Lower devices[kMaxDevices];
    ULONG deviceCount;
    Handle handles[kMaxHandles];
    BOOLEAN failed;
    ULONG line;
    CHAR* story;
    const CHAR* cursor;  // where the story goes on
    Step* step;
    BOOLEAN paused;    // at a pause: the unload routine plays the rest
    BOOLEAN standIns;  // the filter's imports that Wine lacks are stood in for
};

Globals* g;

}  // namespace

namespace zkt {

VOID Fail(const CHAR* what, const CHAR* detail) {
    g->failed = TRUE;
    DbgPrint("zktest: FAIL line %u: %s%s\n", g->line, what, detail);
}

BOOLEAN NumberOption(const Step& step, const CHAR* key, ULONG64 fallback, ULONG64* value) {
    const CHAR* text = zkt::Option(step, key);
    if (text == NULL) {
        *value = fallback;
        return TRUE;
    }
    if (!zkt::Number(text, value)) {
        Fail("expected a number for ", key);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN FlagsOption(const Step& step, const CHAR* key, const NamedCode* table, ULONG count, ULONG limit,
                    const CHAR* what, ULONG* flags) {
    *flags = 0;
    const CHAR* words = zkt::Option(step, key);
    if (words == NULL) return TRUE;
    CHAR word[32];
    ULONG length = 0;
    for (const CHAR* p = words;; ++p) {
        if (*p != ',' && *p != '\0' && length + 1 < sizeof(word)) {
            word[length++] = *p;
            continue;
        }
        word[length] = '\0';
        ULONG flag;
        if (!LookupIn(table, count, word, limit, &flag) || (limit == 0 && flag == 0)) {
            Fail(what, word);
            return FALSE;
        }
        *flags |= flag;
        length = 0;
        if (*p == '\0') return TRUE;
    }
}

VOID Expect(const Step& step, NTSTATUS status) {
    ULONG64 expected;
    if (zkt::Option(step, "expect") == NULL || !NumberOption(step, "expect", 0, &expected)) return;
    if ((ULONG)status != (ULONG)expected) {
        g->failed = TRUE;
        DbgPrint("zktest: FAIL line %u: ended with 0x%08X, expected 0x%08X\n", g->line, (ULONG)status, (ULONG)expected);
    }
}

Lower* Find(const CHAR* name) {
    for (ULONG i = 0; i < g->deviceCount; ++i)
        if (Same(g->devices[i].name, name)) return &g->devices[i];
    Fail("no device ", name);
    return NULL;
}

PVOID Allocate(ULONG size) {
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, size == 0 ? 1 : size, kTag);
    if (buffer != NULL) memset(buffer, 0, size == 0 ? 1 : size);
    return buffer;
}

}  // namespace zkt

namespace {

// ---------------------------------------------------------------------------
// Steps

VOID SetRegistry(const Step& step) {
    if (step.argCount < 2) return Fail("registry VALUE dword N | sz TEXT | delete");
    WCHAR name[128];
    ULONG i = 0;
    for (; step.args[0][i] != '\0' && i + 1 < 128; ++i)
        name[i] = (WCHAR)(UCHAR)step.args[0][i];
    name[i] = 0;
    NTSTATUS status;
    if (Same(step.args[1], "delete")) {
        // An absent value is no failure: the simulator deletes quietly too.
        (void)RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kParameters, name);
        return;
    }
    if (step.argCount != 3) return Fail("registry VALUE dword N | sz TEXT | delete");
    if (Same(step.args[1], "dword")) {
        ULONG64 number;
        if (!zkt::Number(step.args[2], &number)) return Fail("expected a number: ", step.args[2]);
        ULONG value = (ULONG)number;
        status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kParameters, name, REG_DWORD, &value, 4);
    } else if (Same(step.args[1], "sz")) {
        // A registry text is short; a longer word is cut to what the value takes.
        WCHAR text[256];
        ULONG n = 0;
        for (; step.args[2][n] != '\0' && n + 1 < sizeof(text) / sizeof(text[0]); ++n)
            text[n] = (WCHAR)(UCHAR)step.args[2][n];
        text[n] = 0;
        status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kParameters, name, REG_SZ, text, (n + 1) * sizeof(WCHAR));
    } else {
        return Fail("unknown value type ", step.args[1]);
    }
    if (!NT_SUCCESS(status)) Fail("the registry refused the value ", step.args[0]);
}

VOID CreateDevice(const Step& step) {
    if (step.argCount != 1 || g->deviceCount == kMaxDevices)
        return Fail("device NAME [pdo=\\Device\\X] [type=T] [flags=F] [model=disk]");
    Lower* lower = &g->devices[g->deviceCount];
    memset(lower, 0, sizeof(*lower));
    strncpy(lower->name, step.args[0], sizeof(lower->name) - 1);

    ULONG type = FILE_DEVICE_UNKNOWN;
    const CHAR* model = zkt::Option(step, "model");
    if (Same(model, "disk")) {
        lower->disk = TRUE;
        type = FILE_DEVICE_DISK;
    } else if (model != NULL && !Same(model, "plain")) {
        return Fail("the stack driver knows model=disk only, not ", model);
    }
    const CHAR* typeWord = zkt::Option(step, "type");
    if (typeWord != NULL && !ZKT_LOOKUP(kTypes, typeWord, 0xFFFF, &type)) return Fail("unknown device type ", typeWord);

    ULONG flags;
    if (!FlagsOption(step, "flags", kFlags, kFlagsCount, 0, "unknown device flag ", &flags)) return;
    ULONG64 characteristics;
    if (!NumberOption(step, "characteristics", 0, &characteristics)) return;

    // The PDO's name, \Device\NAME unless pdo= says otherwise.
    WCHAR nameBuffer[128];
    const CHAR* pdoName = zkt::Option(step, "pdo");
    CHAR fallback[80];
    if (pdoName == NULL) {
        _snprintf(fallback, sizeof(fallback), "\\Device\\%s", lower->name);
        pdoName = fallback;
    }
    UNICODE_STRING name;
    PUNICODE_STRING namePointer = NULL;
    if (!Same(pdoName, "none")) {
        ULONG n = 0;
        for (; pdoName[n] != '\0' && n + 1 < 128; ++n)
            nameBuffer[n] = (WCHAR)(UCHAR)pdoName[n];
        nameBuffer[n] = 0;
        RtlInitUnicodeString(&name, nameBuffer);
        namePointer = &name;
    }
    PDEVICE_OBJECT pdo = NULL;
    NTSTATUS status = IoCreateDevice(g->self, sizeof(Lower*), namePointer, type, (ULONG)characteristics, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        g->failed = TRUE;
        DbgPrint("zktest: FAIL line %u: IoCreateDevice %s: 0x%08X\n", g->line, pdoName, (ULONG)status);
        return;
    }
    *(Lower**)pdo->DeviceExtension = lower;
    pdo->Flags |= flags;
    pdo->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    lower->pdo = pdo;
    ++g->deviceCount;
}

VOID Rules(const Step& step) {
    Lower* lower = Find(step.args[0]);
    if (lower == NULL) return;
    const CHAR* action = zkt::Option(step, "action");
    ULONG64 status, information;
    if (!NumberOption(step, "status", 0, &status) || !NumberOption(step, "information", 0, &information)) return;
    Reply reply{Action::Complete, (NTSTATUS)status, (ULONG_PTR)information, 0, {}};
    const CHAR* data = zkt::Option(step, "data");
    if (data != NULL) {
        LONG count = zkt::Bytes(data, reply.data, sizeof(reply.data));
        if (count < 0) return Fail("data= takes hex bytes, at most 256");
        reply.dataLength = (ULONG)count;
    }
    if (action == NULL || Same(action, "complete")) {
    } else if (Same(action, "fail")) {
        if (zkt::Option(step, "status") == NULL) reply.status = STATUS_IO_DEVICE_ERROR;
    } else if (Same(action, "pend")) {
        // Wine runs every routine at PASSIVE_LEVEL: a story that completes at
        // DISPATCH_LEVEL would show the simulator's IRQL, not the driver's.
        if (!Same(zkt::Option(step, "irql"), "passive"))
            return Fail("rule passive-only: a pended answer says irql=passive");
        reply.action = Action::Pend;
    } else {
        return Fail("the stack driver knows action=complete|fail|pend, not ", action);
    }
    ULONG major, minor = 0;
    const CHAR* majorWord = zkt::Option(step, "major");
    if (majorWord == NULL || !ZKT_LOOKUP(kMajors, majorWord, IRP_MJ_MAXIMUM_FUNCTION, &major))
        return Fail("lower needs major=");
    if (data != NULL && major != IRP_MJ_DEVICE_CONTROL) return Fail("data= answers device control only");
    const CHAR* minorWord = zkt::Option(step, "minor");
    if (minorWord != NULL) {
        BOOLEAN known = major == IRP_MJ_PNP     ? ZKT_LOOKUP(kPnpMinors, minorWord, 0xFF, &minor)
                        : major == IRP_MJ_POWER ? ZKT_LOOKUP(kPowerMinors, minorWord, 0xFF, &minor)
                                                : ZKT_LOOKUP(kWmiMinors, minorWord, 0xFF, &minor);
        if (!known) return Fail("unknown minor function ", minorWord);
    }
    SHORT key = minorWord == NULL ? (SHORT)-1 : (SHORT)minor;
    for (ULONG i = 0; i < lower->ruleCount; ++i)
        if (lower->rules[i].major == major && lower->rules[i].minor == key) {
            lower->rules[i].reply = reply;
            return;
        }
    if (lower->ruleCount == kMaxRules) return Fail("too many rules");
    lower->rules[lower->ruleCount++] = Rule{(UCHAR)major, key, reply};
}

VOID Add(const Step& step) {
    Lower* lower = Find(step.args[0]);
    if (lower == NULL) return;
    PDRIVER_ADD_DEVICE addDevice = g->filter->DriverExtension->AddDevice;
    Expect(step, addDevice(g->filter, lower->pdo));
}

// Programs' requests: through the object manager and the I/O manager, as a
// program's calls arrive, on a handle the story names.
Handle* FindHandle(const CHAR* name) {
    for (Handle& handle : g->handles)
        if (handle.handle != NULL && Same(handle.name, name)) return &handle;
    Fail("no open handle ", name);
    return NULL;
}

VOID Open(const Step& step) {
    Handle* slot = NULL;
    for (Handle& handle : g->handles)
        if (handle.handle == NULL && slot == NULL) slot = &handle;
    if (slot == NULL || strlen(step.args[0]) >= sizeof(slot->name))
        return Fail("too many handles, or a long handle name");
    WCHAR pathBuffer[128];
    ULONG n = 0;
    for (; step.args[1][n] != '\0' && n + 1 < 128; ++n)
        pathBuffer[n] = (WCHAR)(UCHAR)step.args[1][n];
    pathBuffer[n] = 0;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, pathBuffer);
    OBJECT_ATTRIBUTES attributes = {
        sizeof(OBJECT_ATTRIBUTES), NULL, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL};
    IO_STATUS_BLOCK io = {};
    HANDLE handle = NULL;
    NTSTATUS status =
        ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    Expect(step, status);
    if (NT_SUCCESS(status)) {
        strncpy(slot->name, step.args[0], sizeof(slot->name) - 1);
        slot->handle = handle;
    } else if (zkt::Option(step, "expect") == NULL) {
        g->failed = TRUE;
        DbgPrint("zktest: FAIL line %u: cannot open %s: 0x%08X\n", g->line, step.args[1], (ULONG)status);
    }
}

VOID HandleControl(const Step& step) {
    Handle* handle = FindHandle(step.args[0]);
    ULONG code;
    if (handle == NULL) return;
    if (!ZKT_LOOKUP(kControlCodes, step.args[1], 0xFFFFFFFFu, &code))
        return Fail("unknown control code ", step.args[1]);
    UCHAR input[512];
    LONG inputLength = 0;
    const CHAR* inputWord = zkt::Option(step, "in");
    if (inputWord != NULL && (inputLength = zkt::Bytes(inputWord, input, sizeof(input))) < 0)
        return Fail("in= takes hex bytes");
    ULONG64 outputLength;
    if (!NumberOption(step, "out", 0, &outputLength)) return;
    if (outputLength > kBufferLimit) return Fail("out= is too large for the stack driver");
    Freed freed;
    if (!FreedBegin(step, FALSE, input, (ULONG)inputLength, &freed)) return FreedEnd(step, &freed);
    PVOID output = Allocate((ULONG)outputLength);
    IO_STATUS_BLOCK io = {};
    NTSTATUS status = ZwDeviceIoControlFile(handle->handle, NULL, NULL, NULL, &io, code, inputLength ? input : NULL,
                                            (ULONG)inputLength, outputLength ? output : NULL, (ULONG)outputLength);
    Expect(step, status == STATUS_PENDING ? io.Status : status);
    FreedEnd(step, &freed);
    if (output != NULL) ExFreePoolWithTag(output, kTag);
}

VOID SetSense(const Step& step) {
    Lower* lower = Find(step.args[0]);
    ULONG64 key, asc, ascq;
    if (lower == NULL || !NumberOption(step, "key", 0, &key) || !NumberOption(step, "asc", 0, &asc) ||
        !NumberOption(step, "ascq", 0, &ascq))
        return;
    if (!lower->disk) return Fail("sense needs a model=disk device");
    lower->failNext = TRUE;
    lower->key = (UCHAR)key;
    lower->asc = (UCHAR)asc;
    lower->ascq = (UCHAR)ascq;
}

VOID Play(const Step& step) {
    const CHAR* c = step.words[0];
    if (Same(c, "title") || Same(c, "load") || Same(c, "unload")) {
        // The harness loads and unloads the filter around the story.
    } else if (Same(c, "registry")) {
        SetRegistry(step);
    } else if (Same(c, "device")) {
        CreateDevice(step);
    } else if (Same(c, "lower")) {
        Rules(step);
    } else if (Same(c, "add")) {
        Add(step);
    } else if (Same(c, "start") || Same(c, "remove")) {
        if (Lower* lower = Find(step.args[0]))
            SendPnp(step, lower, Same(c, "start") ? IRP_MN_START_DEVICE : IRP_MN_REMOVE_DEVICE);
    } else if (Same(c, "pnp")) {
        Lower* lower = Find(step.args[0]);
        ULONG minor;
        if (lower == NULL) return;
        if (!ZKT_LOOKUP(kPnpMinors, step.args[1], 0xFF, &minor))
            return Fail("unknown Plug and Play minor ", step.args[1]);
        SendPnp(step, lower, (UCHAR)minor);
    } else if (Same(c, "power")) {
        SendPower(step);
    } else if (Same(c, "irp")) {
        SendPlain(step);
    } else if (Same(c, "wmi")) {
        SendWmi(step);
    } else if (Same(c, "read") || Same(c, "write")) {
        SendReadWrite(step, Same(c, "write"));
    } else if (Same(c, "ioctl") || Same(c, "internal")) {
        SendControl(step, Same(c, "internal"));
    } else if (Same(c, "srb")) {
        SendSrb(step);
    } else if (Same(c, "open")) {
        Open(step);
    } else if (Same(c, "close")) {
        if (Handle* handle = FindHandle(step.args[0])) {
            ZwClose(handle->handle);
            handle->handle = NULL;
        }
    } else if (Same(c, "handle-ioctl")) {
        HandleControl(step);
    } else if (Same(c, "sense")) {
        SetSense(step);
    } else if (Same(c, "ieee1394")) {
        if (step.argCount != 2) return Fail("ieee1394 NAME STEP");
        if (Lower* lower = Find(step.args[0])) Play1394(step, lower);
    } else {
        Fail("the stack driver does not know the command ", c);
    }
}

// ---------------------------------------------------------------------------
// Loading the story

CHAR* ReadStory() {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\??\\C:\\zelkor-story.scn");
    OBJECT_ATTRIBUTES attributes = {
        sizeof(OBJECT_ATTRIBUTES), NULL, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL};
    IO_STATUS_BLOCK io = {};
    HANDLE file;
    NTSTATUS status =
        ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                     FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) {
        DbgPrint("zktest: FAIL line 0: cannot open the story: 0x%08X\n", (ULONG)status);
        return NULL;
    }
    CHAR* text = (CHAR*)Allocate(kStoryLimit + 1);
    ULONG used = 0;
    if (text != NULL) {
        while (used < kStoryLimit) {
            LARGE_INTEGER offset;
            offset.QuadPart = used;
            status = ZwReadFile(file, NULL, NULL, NULL, &io, text + used, kStoryLimit - used, &offset, NULL);
            if (!NT_SUCCESS(status) || io.Information == 0) break;
            used += (ULONG)io.Information;
        }
        text[used] = '\0';
    }
    ZwClose(file);
    return text;
}

// Plays the story from where it stands to its end, or to a pause: then the
// entry routine returns with the stacks built, programs run against the
// loaded drivers (the harness runs the story's zkctl lines and announces
// them itself), and the unload routine plays the rest.
VOID PlayOn() {
    BOOLEAN programs = g->paused;
    g->paused = FALSE;
    const CHAR* error = NULL;
    while (g->step != NULL && !g->failed && zkt::NextStep(&g->cursor, &g->line, g->step, &error)) {
        if (programs && Same(g->step->words[0], "zkctl")) continue;
        programs = FALSE;
        DbgPrint("zktest: step %u: %s\n", g->step->line, g->step->words[0]);
        if (Same(g->step->words[0], "pause")) {
            if (!g->standIns) return Fail("cannot stand in for the routines Wine lacks in the filter's import table");
            g->paused = TRUE;
            return;
        }
        Play(*g->step);
        // What a step set going in the kernel's worker is done before the next.
        WaitForWorkItems();
    }
    if (error != NULL) Fail("the story cannot be read: ", error);
    if (!g->failed) DbgPrint("zktest: done\n");
}

VOID Unload(PDRIVER_OBJECT) {
    if (g == NULL) return;
    if (g->paused) PlayOn();
    StopCountingFaults();
    StandDown();
    if (g->step != NULL) ExFreePoolWithTag(g->step, kTag);
    if (g->story != NULL) ExFreePoolWithTag(g->story, kTag);
    for (Handle& handle : g->handles)
        if (handle.handle != NULL) ZwClose(handle.handle);
    for (ULONG i = 0; i < g->deviceCount; ++i) {
        Release1394(&g->devices[i]);
        if (g->devices[i].pdo != NULL) IoDeleteDevice(g->devices[i].pdo);
    }
    if (g->filter != NULL) {
        g->filter->DriverExtension->ServiceKeyName = g->serviceKeyName;
        ObDereferenceObject(g->filter);
    }
    ExFreePoolWithTag(g, kTag);
    g = NULL;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->DriverUnload = Unload;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        DriverObject->MajorFunction[i] = LowerDispatch;
    g = (Globals*)Allocate(sizeof(Globals));
    if (g == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    g->self = DriverObject;

    UNICODE_STRING filterName;
    RtlInitUnicodeString(&filterName, u"\\Driver\\zelkor");
    PVOID filter = NULL;
    // No object type: this kernel finds a driver object by name only so.
    NTSTATUS status =
        ObReferenceObjectByName(&filterName, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL, &filter);
    if (!NT_SUCCESS(status)) {
        DbgPrint("zktest: FAIL line 0: \\Driver\\zelkor is not loaded: 0x%08X\n", (ULONG)status);
        return STATUS_SUCCESS;
    }
    g->filter = (PDRIVER_OBJECT)filter;

    // Windows gives a driver its service name alone as ServiceKeyName; this
    // kernel gives the whole key path. The filter builds its registry paths
    // from the name, so it sees the Windows form: the path's last component.
    PUNICODE_STRING service = &g->filter->DriverExtension->ServiceKeyName;
    g->serviceKeyName = *service;
    USHORT count = service->Length / sizeof(WCHAR);
    USHORT start = count;
    while (start > 0 && service->Buffer[start - 1] != u'\\')
        --start;
    service->Buffer += start;
    service->Length = (USHORT)((count - start) * sizeof(WCHAR));
    service->MaximumLength = (USHORT)(service->MaximumLength - start * sizeof(WCHAR));

    g->story = ReadStory();
    if (g->story == NULL) return STATUS_SUCCESS;
    // The stand-ins from the start: a step may free a page under the filter
    // (freed.cpp), whose validity the stand-in MmIsAddressValid vouches for.
    // Whether they took is told where a step needs them.
    g->standIns = StandIn(g->filter);
    CountFaults(g->filter);
    g->cursor = g->story;
    g->step = (Step*)Allocate(sizeof(Step));
    PlayOn();
    return STATUS_SUCCESS;
}
