#include "tests/wine/driver/freed.h"

#include "tests/wine/driver/kernel.h"
#include "tests/wine/driver/play.h"
#include "tests/wine/driver/standins.h"

namespace zkt {
namespace {

constexpr ULONG kPage = 0x1000;
constexpr ULONG kMemCommit = 0x1000, kMemReserve = 0x2000, kMemDecommit = 0x4000, kMemRelease = 0x8000;
constexpr ULONG kPageReadWrite = 0x04;
constexpr ULONG_PTR kBelow2G = 0x7FFFFFFF;  // a zero-bits mask: the pages lie below 2 GB

// What the exception dispatcher hands a vectored handler (x64 layouts).
struct ExceptionRecord {
    ULONG code;
    ULONG flags;
    ExceptionRecord* inner;
    PVOID address;
    ULONG parameters;
    ULONG_PTR information[15];
};
struct ExceptionPointers {
    ExceptionRecord* record;
    PVOID context;
};
typedef LONG (*VectoredHandler)(ExceptionPointers* pointers);
typedef PVOID (*AddHandlerRoutine)(ULONG first, VectoredHandler handler);
typedef ULONG (*RemoveHandlerRoutine)(PVOID handle);

volatile LONG gFaults;
volatile ULONG_PTR gFreedPage;
ULONG_PTR gFilterStart, gFilterEnd;  // the filter's image: faults of its own instructions only
PVOID gHandler;
RemoveHandlerRoutine gRemove;

// Counts the access violations of the filter's instructions on the freed
// page (not those of Wine's own probes, IsBadReadPtr's among them) and lets
// the search go on, to the filter's own handler.
LONG CountFault(ExceptionPointers* pointers) {
    const ExceptionRecord* record = pointers->record;
    ULONG_PTR at = (ULONG_PTR)record->address;
    if (record->code == (ULONG)STATUS_ACCESS_VIOLATION && record->parameters >= 2 && gFreedPage != 0 &&
        (record->information[1] & ~(ULONG_PTR)(kPage - 1)) == gFreedPage && at >= gFilterStart && at < gFilterEnd)
        __atomic_add_fetch(&gFaults, 1, __ATOMIC_SEQ_CST);
    return 0;  // EXCEPTION_CONTINUE_SEARCH
}

ULONG Read32(const UCHAR* p) { return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24; }

// ntdll's base, from the loader's list in the process environment block
// (winedevice.exe is a process: the thread block is at gs, as for any).
PUCHAR NtdllBase() {
    PUCHAR peb;
    __asm__("movq %%gs:0x60, %0" : "=r"(peb));
    if (peb == NULL) return NULL;
    PUCHAR ldr = *(PUCHAR*)(peb + 0x18);
    LIST_ENTRY* head = (LIST_ENTRY*)(ldr + 0x10);  // in load order
    for (LIST_ENTRY* entry = head->Flink; entry != head; entry = entry->Flink) {
        PUCHAR module = (PUCHAR)entry;
        UNICODE_STRING* name = (UNICODE_STRING*)(module + 0x58);
        const WCHAR ntdll[] = u"ntdll.dll";
        USHORT length = (USHORT)(sizeof(ntdll) - sizeof(WCHAR));
        if (name->Length != length) continue;
        BOOLEAN same = TRUE;
        for (USHORT i = 0; i < length / sizeof(WCHAR) && same; ++i)
            same = (name->Buffer[i] | 0x20) == ntdll[i];
        if (same) return *(PUCHAR*)(module + 0x30);
    }
    return NULL;
}

PVOID Export(PUCHAR image, const CHAR* wanted) {
    ULONG nt = Read32(image + 0x3C);
    ULONG exports = Read32(image + nt + 4 + 20 + 112);  // signature, file header, first directory
    if (exports == 0) return NULL;
    PUCHAR directory = image + exports;
    ULONG names = Read32(directory + 0x18);
    const ULONG* functions = (const ULONG*)(image + Read32(directory + 0x1C));
    const ULONG* nameAt = (const ULONG*)(image + Read32(directory + 0x20));
    const USHORT* ordinals = (const USHORT*)(image + Read32(directory + 0x24));
    for (ULONG i = 0; i < names; ++i)
        if (strcmp((const CHAR*)image + nameAt[i], wanted) == 0) return image + functions[ordinals[i]];
    return NULL;
}

// One item of freed=: OFFSET[:BEFORE] or block[:BEFORE]. Advances *text.
BOOLEAN NextItem(const CHAR** text, BOOLEAN* block, ULONG* offset, ULONG* before) {
    CHAR word[40];
    ULONG n = 0;
    while (**text != '\0' && **text != ',' && n + 1 < sizeof(word))
        word[n++] = *(*text)++;
    word[n] = '\0';
    if (**text == ',') ++*text;
    CHAR* colon = NULL;
    for (CHAR* p = word; *p != '\0'; ++p)
        if (*p == ':') colon = p;
    ULONG64 value = 0;
    *before = 0;
    if (colon != NULL) {
        *colon = '\0';
        if (!Number(colon + 1, &value) || value >= kPage) return FALSE;
        *before = (ULONG)value;
    }
    *block = Same(word, "block");
    if (*block) return TRUE;
    if (!Number(word, &value) || value >= (1u << 24)) return FALSE;
    *offset = (ULONG)value;
    return TRUE;
}

}  // namespace

BOOLEAN CountFaults(PDRIVER_OBJECT filter) {
    gFilterStart = (ULONG_PTR)filter->DriverStart;
    gFilterEnd = gFilterStart + filter->DriverSize;
    PUCHAR ntdll = NtdllBase();
    if (ntdll == NULL) return FALSE;
    AddHandlerRoutine add = (AddHandlerRoutine)Export(ntdll, "RtlAddVectoredExceptionHandler");
    gRemove = (RemoveHandlerRoutine)Export(ntdll, "RtlRemoveVectoredExceptionHandler");
    if (add == NULL || gRemove == NULL) return FALSE;
    gHandler = add(1, CountFault);
    return gHandler != NULL;
}

VOID StopCountingFaults() {
    if (gHandler != NULL) gRemove(gHandler);
    gHandler = NULL;
}

BOOLEAN FreedBegin(const Step& step, BOOLEAN internal, PUCHAR input, ULONG length, Freed* freed) {
    freed->page = NULL;
    freed->block = NULL;
    freed->faultsBefore = gFaults;
    const CHAR* items = zkt::Option(step, "freed");
    if (zkt::Option(step, "faults") != NULL && gHandler == NULL) {
        Fail("faults= needs the fault counter, which could not be put in place");
        return FALSE;
    }
    if (items == NULL) return TRUE;

    PVOID base = NULL;
    SIZE_T size = 2 * kPage;
    NTSTATUS status =
        ZwAllocateVirtualMemory((HANDLE)-1, &base, kBelow2G, &size, kMemCommit | kMemReserve, kPageReadWrite);
    if (!NT_SUCCESS(status)) {
        Fail("no pages below 2 GB for freed=");
        return FALSE;
    }
    freed->page = (PUCHAR)base;
    PVOID second = freed->page + kPage;
    SIZE_T one = kPage;
    if (!NT_SUCCESS(ZwFreeVirtualMemory((HANDLE)-1, &second, &one, kMemDecommit))) {
        Fail("cannot free the page for freed=");
        return FALSE;
    }
    gFreedPage = (ULONG_PTR)freed->page + kPage;
    VouchFor(gFreedPage);

    while (*items != '\0') {
        BOOLEAN block;
        ULONG offset = 0, before;
        if (!NextItem(&items, &block, &offset, &before)) {
            Fail("freed= takes OFFSET[:BEFORE] or block[:BEFORE]");
            return FALSE;
        }
        PUCHAR at = freed->page + kPage - before;
        if (block) {
            if (!internal) {
                Fail("freed=block: only an internal request carries its block by address");
                return FALSE;
            }
            memcpy(at, input, before < length ? before : length);
            freed->block = at;
            continue;
        }
        if (offset + sizeof(PVOID) > length) {
            Fail("freed=: an address does not fit in in=");
            return FALSE;
        }
        memcpy(input + offset, &at, sizeof(at));
    }
    return TRUE;
}

VOID FreedEnd(const Step& step, Freed* freed) {
    LONG faults = gFaults - freed->faultsBefore;
    ULONG64 expected;
    if (zkt::Option(step, "faults") != NULL && NumberOption(step, "faults", 0, &expected) &&
        (ULONG64)faults != expected) {
        CHAR detail[80];
        _snprintf(detail, sizeof(detail), "%d times, faults= expects %u", (int)faults, (unsigned)expected);
        Fail("the filter's reads faulted ", detail);
    }
    if (freed->page == NULL) return;
    VouchFor(0);
    gFreedPage = 0;
    PVOID base = freed->page;
    SIZE_T size = 0;
    ZwFreeVirtualMemory((HANDLE)-1, &base, &size, kMemRelease);
    freed->page = NULL;
}

}  // namespace zkt
