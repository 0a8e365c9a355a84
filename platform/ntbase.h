// Basic kernel types, status codes and the compiler glue shared by both
// builds. Everything is laid out as on Windows x64 (LLP64): ULONG and LONG
// are 32 bits wide on Linux too, and WCHAR is a 16-bit unit on both, which is
// why wide literals are written u"...".
#pragma once

#if defined(_WIN64)
#define ZK_PLATFORM_WINDOWS 1
#else
#define ZK_PLATFORM_SIMULATED 1
#endif

#define NTAPI
#define FORCEINLINE inline __attribute__((always_inline))
#define DECLSPEC_NOINLINE __attribute__((noinline))
// A return statement whose call must be a tail call (the build fails where
// it cannot be): the caller's frame is gone before the callee runs, so a
// routine that hands its rare path to a helper keeps no registers for it.
// The helper takes the caller's very parameters.
#define ZK_TAIL_CALL [[clang::musttail]]
#define FIELD_OFFSET(type, field) ((LONG) __builtin_offsetof(type, field))

// Marks a routine whose argument Format is a format of the kernel's printf
// dialect (%I64X, %*S, %wZ, ...) and whose arguments start at First (0: a
// va_list), so the compiler checks every call's arguments against the
// format. Only the image's build checks: clang knows the dialect for the
// windows-msvc target, and on Linux it takes %I64X and %wZ for mistakes.
// The image compiles every driver source, so each call is checked there.
#if defined(ZK_PLATFORM_WINDOWS)
#define ZK_PRINTF_FORMAT(Format, First) __attribute__((format(printf, Format, First)))
#else
#define ZK_PRINTF_FORMAT(Format, First)
#endif

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef signed char CCHAR;
typedef unsigned char UCHAR;
typedef UCHAR BOOLEAN;
typedef short SHORT;
typedef short CSHORT;
typedef unsigned short USHORT;
typedef int LONG;
typedef unsigned int ULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned long long ULONG64;
typedef long long LONG_PTR;
typedef unsigned long long ULONG_PTR;
typedef decltype(sizeof(0)) SIZE_T;
typedef char16_t WCHAR;
typedef UCHAR KIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef LONG KPRIORITY;
typedef PVOID HANDLE;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;

// A WCHAR text as the format check wants it for %S and %ws: as wchar_t, the
// image's 16-bit unit, where WCHAR is char16_t for the u"..." literals. Only
// the type changes; the formatting routines read 16-bit units on both builds.
FORCEINLINE const wchar_t* ZK_PrintWide(PCWSTR Text)
{
    return (const wchar_t*)Text;
}
typedef HANDLE* PHANDLE;
typedef BOOLEAN* PBOOLEAN;
typedef ULONG_PTR* PULONG_PTR;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64 longs");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a 16-bit unit");
static_assert(sizeof(PVOID) == 8, "x64 pointers");
static_assert(sizeof(LARGE_INTEGER) == 8);
static_assert(sizeof(LIST_ENTRY) == 16);
static_assert(sizeof(UNICODE_STRING) == 16 && __builtin_offsetof(UNICODE_STRING, Buffer) == 8);
static_assert(sizeof(ANSI_STRING) == 16 && __builtin_offsetof(ANSI_STRING, Buffer) == 8);

// Status values the driver and its simulated kernel use.
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_ILLEGAL_FUNCTION ((NTSTATUS)0xC00000AFL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)

// IRQLs.
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

// Processor modes.
#define KernelMode 0
#define UserMode 1
