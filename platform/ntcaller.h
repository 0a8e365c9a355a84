// What the kernel offers a driver that serves a program's own requests:
// probing the program's buffers, asking who the program runs as, and the
// remove lock that keeps a record alive while a request uses it.
#pragma once
#include "platform/ntbase.h"
#include "platform/ntio.h"

#define STATUS_DATATYPE_MISALIGNMENT ((NTSTATUS)0x80000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)

// ---------------------------------------------------------------------------
// The caller's rights

typedef PVOID PACCESS_TOKEN;

typedef enum _SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous = 0,
    SecurityIdentification = 1,
    SecurityImpersonation = 2,
    SecurityDelegation = 3,
} SECURITY_IMPERSONATION_LEVEL;

typedef struct _SECURITY_SUBJECT_CONTEXT {
    PACCESS_TOKEN ClientToken;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    PACCESS_TOKEN PrimaryToken;
    PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;
static_assert(sizeof(SECURITY_SUBJECT_CONTEXT) == 32);
static_assert(__builtin_offsetof(SECURITY_SUBJECT_CONTEXT, PrimaryToken) == 16);

// ---------------------------------------------------------------------------
// The remove lock (the layout of a free build: no debugging block)

typedef struct _IO_REMOVE_LOCK_COMMON_BLOCK {
    BOOLEAN Removed;
    BOOLEAN Reserved[3];
    volatile LONG IoCount;
    KEVENT RemoveEvent;
} IO_REMOVE_LOCK_COMMON_BLOCK;

typedef struct _IO_REMOVE_LOCK {
    IO_REMOVE_LOCK_COMMON_BLOCK Common;
} IO_REMOVE_LOCK, *PIO_REMOVE_LOCK;
static_assert(sizeof(IO_REMOVE_LOCK) == 32);
static_assert(__builtin_offsetof(IO_REMOVE_LOCK_COMMON_BLOCK, RemoveEvent) == 8);

extern "C" {
// Raise STATUS_ACCESS_VIOLATION for a range that is not wholly in user space
// and STATUS_DATATYPE_MISALIGNMENT for a misaligned start; ProbeForWrite also
// touches every page. Only inside a guarded region.
VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment);

VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
// TRUE when the token holds the Administrators group (SYSTEM's does).
BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token);

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize);
NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize);
VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize);
VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize);
}

#define IoInitializeRemoveLock(Lock, Tag, Maxmin, HighWater) \
    IoInitializeRemoveLockEx(Lock, Tag, Maxmin, HighWater, sizeof(IO_REMOVE_LOCK))
#define IoAcquireRemoveLock(RemoveLock, Tag) IoAcquireRemoveLockEx(RemoveLock, Tag, "", 1, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLock(RemoveLock, Tag) IoReleaseRemoveLockEx(RemoveLock, Tag, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLockAndWait(RemoveLock, Tag) \
    IoReleaseRemoveLockAndWaitEx(RemoveLock, Tag, sizeof(IO_REMOVE_LOCK))
