// Counted strings of the run-time library, with the kernel's own quirks:
// lengths in bytes, NUL terminators only where there is room, and the
// conversions' particular ways of failing.
//
// The simulated ANSI code page is Latin-1: a byte is the UTF-16 unit of the
// same value, and a unit that Latin-1 cannot hold becomes '?'. Each character
// is one byte in both directions, so sizes are simple.
#include <cstring>

#include "platform/ntio.h"
#include "platform/ntrtl.h"
#include "simkernel/core.h"

namespace {

// The tag of string buffers the run-time library allocates for its caller;
// it reads "Strg" in memory.
constexpr uint32_t kStringTag = 0x67727453;

constexpr size_t kMaxUshort = 0xFFFF;

constexpr NTSTATUS kStatusInvalidParameter2 = static_cast<NTSTATUS>(0xC00000F0);

size_t WideLength(PCWSTR s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

CHAR ToAnsi(WCHAR unit) { return unit < 0x100 ? static_cast<CHAR>(unit) : '?'; }

WCHAR ToWide(CHAR c) { return static_cast<WCHAR>(static_cast<UCHAR>(c)); }

}  // namespace

extern "C" VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
    sim::RequireAtMostDispatch("RtlInitString");
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    // Longer texts are cut to what the counts can describe.
    size_t length = std::strlen(SourceString);
    if (length > kMaxUshort - 1) length = kMaxUshort - 1;
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength = static_cast<USHORT>(length + 1);
}

extern "C" VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    sim::RequireAtMostDispatch("RtlInitAnsiString");
    RtlInitString(DestinationString, SourceString);
}

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    sim::RequireAtMostDispatch("RtlInitUnicodeString");
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxUshort - 3) bytes = kMaxUshort - 3;  // 0xFFFC: even, with room for the NUL
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

// On failure for want of room, the kernel has already set the destination's
// Length to what the text would need and copies nothing; callers that ignore
// the status see that Length.
extern "C" NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString) {
    static constexpr const char* kRoutine = "RtlAnsiStringToUnicodeString";
    sim::RequirePassive(kRoutine);
    if (sim::ShouldFail(kRoutine)) return STATUS_NO_MEMORY;

    const size_t chars = SourceString->Length;
    const size_t needed = (chars + 1) * sizeof(WCHAR);  // with the NUL
    if (needed > kMaxUshort) return kStatusInvalidParameter2;
    DestinationString->Length = static_cast<USHORT>(needed - sizeof(WCHAR));
    if (AllocateDestinationString) {
        DestinationString->Buffer = static_cast<PWSTR>(sim::PoolAllocate(needed, kStringTag));
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (DestinationString->Length + sizeof(WCHAR) > DestinationString->MaximumLength) {
        // The kernel tests Length >= MaximumLength, the same for the even
        // sizes real callers have; an odd one must not let the NUL spill.
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i)
        DestinationString->Buffer[i] = ToWide(SourceString->Buffer[i]);
    DestinationString->Buffer[chars] = 0;
    return STATUS_SUCCESS;
}

// Unlike its counterpart, a destination that is too small still receives
// what fits, less one byte, and a NUL: Length becomes MaximumLength - 1 and
// the status STATUS_BUFFER_OVERFLOW.
extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString) {
    static constexpr const char* kRoutine = "RtlUnicodeStringToAnsiString";
    sim::RequirePassive(kRoutine);
    if (sim::ShouldFail(kRoutine)) return STATUS_NO_MEMORY;

    const size_t units = SourceString->Length / sizeof(WCHAR);
    const size_t needed = units + 1;  // with the NUL
    if (needed > kMaxUshort) return kStatusInvalidParameter2;
    NTSTATUS status = STATUS_SUCCESS;
    DestinationString->Length = static_cast<USHORT>(units);
    if (AllocateDestinationString) {
        DestinationString->Buffer = static_cast<PCHAR>(sim::PoolAllocate(needed, kStringTag));
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (DestinationString->Length >= DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        DestinationString->Length = static_cast<USHORT>(DestinationString->MaximumLength - 1);
    }
    const size_t copied = DestinationString->Length;
    for (size_t i = 0; i < copied; ++i)
        DestinationString->Buffer[i] = ToAnsi(SourceString->Buffer[i]);
    DestinationString->Buffer[copied] = 0;
    return status;
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    sim::RequireAtMostDispatch("RtlAppendUnicodeStringToString");
    const size_t n = Source->Length;
    if (n == 0) return STATUS_SUCCESS;
    if (n + Destination->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    WCHAR* end = Destination->Buffer + Destination->Length / sizeof(WCHAR);
    std::memmove(end, Source->Buffer, n);
    Destination->Length = static_cast<USHORT>(Destination->Length + n);
    // The NUL only when there is room for a whole unit after the text.
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) end[n / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    sim::RequireAtMostDispatch("RtlAppendUnicodeToString");
    if (Source == nullptr) return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    sim::RequirePassive("RtlFreeUnicodeString");
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
    UnicodeString->Buffer = nullptr;
}
