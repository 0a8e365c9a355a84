// The kernel C runtime routines the driver calls. Only driver sources include
// this (through platform/nt.h): on Linux the names are routed to the
// simulated kernel, which would clash with the C library's own declarations.
#pragma once
#include "platform/ntbase.h"

// Kernel C runtime. ntoskrnl exports these under their C names. On Linux the
// same declarations carry assembler labels so that the driver reaches the
// simulated kernel's versions (the kernel's printf dialect) while the rest of
// the process keeps the C library's own.

#if defined(ZK_PLATFORM_WINDOWS)
#define ZK_CRT(name)
#else
#define ZK_CRT(name) __asm__("zkcrt_" #name)
#endif

typedef __builtin_va_list va_list;
#ifndef va_start
#define va_start(ap, last) __builtin_va_start(ap, last)
#define va_end(ap) __builtin_va_end(ap)
#endif

extern "C" {
int sprintf(char* Buffer, const char* Format, ...) ZK_CRT(sprintf) ZK_PRINTF_FORMAT(2, 3);
int vsprintf(char* Buffer, const char* Format, va_list Args) ZK_CRT(vsprintf) ZK_PRINTF_FORMAT(2, 0);
int _vsnprintf(char* Buffer, SIZE_T Count, const char* Format, va_list Args) ZK_CRT(_vsnprintf) ZK_PRINTF_FORMAT(3, 0);
// Not marked: clang takes a precision with %S for undefined, where the
// kernel's routine counts characters with it (the lower driver's name is cut
// so), and the check cannot be turned off for one conversion.
int _snprintf(char* Buffer, SIZE_T Count, const char* Format, ...) ZK_CRT(_snprintf);
char* strncpy(char* Destination, const char* Source, SIZE_T Count) ZK_CRT(strncpy);
char* strrchr(const char* String, int Character) ZK_CRT(strrchr);
SIZE_T strlen(const char* String) ZK_CRT(strlen);
int strcmp(const char* Left, const char* Right) ZK_CRT(strcmp);
int _stricmp(const char* Left, const char* Right) ZK_CRT(_stricmp);
int _strnicmp(const char* Left, const char* Right, SIZE_T Count) ZK_CRT(_strnicmp);
void* memcpy(void* Destination, const void* Source, SIZE_T Count);
void* memmove(void* Destination, const void* Source, SIZE_T Count);
void* memset(void* Destination, int Value, SIZE_T Count);
}

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, v) memset((d), (v), (n))
