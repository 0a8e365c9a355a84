// The kernel C runtime's printf dialect, as the simulated kernel offers it to
// the driver.
//
// The kernel's formatter is not the C library's: arguments are sized as on
// Windows x64 (LLP64, so %lX reads 32 bits and %I64X reads 64), %S prints a
// wide string, %wZ prints a counted string, %p prints 16 upper-case hex
// digits, %n writes nothing and floating point prints nothing. These
// routines reproduce that dialect while reading the arguments from an
// ordinary Linux va_list, so that text the driver formats looks the same in
// the simulator as it does on a real machine.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace sim {

// Called with the conversion as written in the format (for example "%ws" or
// "%-20wZ") each time the formatter converts a wide string or character
// (%S, %ls, %ws, %wZ, %C, %lc, %wc). The kernel only allows those at
// PASSIVE_LEVEL, so the simulated kernel installs a hook here that checks the
// current IRQL. nullptr (the default) means no check.
extern void (*g_wideConversionHook)(const char* conversion);

// _vsnprintf: writes at most `count` characters. When the text and its NUL
// fit, both are written and the length is returned; when the text is exactly
// `count` characters long it is written without a NUL and `count` is
// returned; when it is longer, the first `count` characters are written, with
// no NUL, and -1 is returned. With a null buffer and a zero count nothing is
// written and the length the text needs is returned.
int KernelVsnprintf(char* buffer, size_t count, const char* format, va_list args);

// vsprintf: the whole text and a NUL, however long. Returns the length.
int KernelVsprintf(char* buffer, const char* format, va_list args);

// The formatted text as a string (it may hold NULs that %c put there).
std::string KernelFormat(const char* format, ...);
std::string KernelVformat(const char* format, va_list args);

}  // namespace sim
