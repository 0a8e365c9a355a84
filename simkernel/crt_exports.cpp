// The kernel C runtime routines the driver imports, under the zkcrt_ names
// its declarations are bound to on Linux (platform/ntbase.h). Nothing else in
// the process sees them, so the simulator itself keeps the C library's
// printf while the driver gets the kernel's.
#include <cstdarg>
#include <cstddef>

#include "simkernel/crt_format.h"

namespace {

// The C locale's case folding, which is all the kernel's routines do: only
// ASCII letters have a case.
unsigned char FoldCase(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Compares at most `count` characters without regard to case. Letters are
// compared as lower case, so '_' sorts before the letters, not after them.
int CompareFolded(const char* left, const char* right, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const int l = FoldCase(left[i]);
        const int r = FoldCase(right[i]);
        if (l != r || l == 0) return l - r;
    }
    return 0;
}

}  // namespace

extern "C" {

int zkcrt_vsprintf(char* buffer, const char* format, va_list args) { return sim::KernelVsprintf(buffer, format, args); }

int zkcrt_sprintf(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = sim::KernelVsprintf(buffer, format, args);
    va_end(args);
    return result;
}

int zkcrt__vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    return sim::KernelVsnprintf(buffer, count, format, args);
}

int zkcrt__snprintf(char* buffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = sim::KernelVsnprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

char* zkcrt_strncpy(char* dest, const char* src, size_t count) {
    size_t i = 0;
    for (; i < count && src[i] != '\0'; ++i)
        dest[i] = src[i];
    for (; i < count; ++i)
        dest[i] = '\0';
    return dest;
}

char* zkcrt_strrchr(const char* s, int c) {
    const char wanted = static_cast<char>(c);
    const char* last = nullptr;
    for (;; ++s) {
        if (*s == wanted) last = s;
        if (*s == '\0') break;
    }
    return const_cast<char*>(last);
}

size_t zkcrt_strlen(const char* s) {
    size_t length = 0;
    while (s[length] != '\0')
        ++length;
    return length;
}

// The kernel's strcmp answers -1, 0 or 1, comparing bytes as unsigned.
int zkcrt_strcmp(const char* left, const char* right) {
    const auto* l = reinterpret_cast<const unsigned char*>(left);
    const auto* r = reinterpret_cast<const unsigned char*>(right);
    while (*l != 0 && *l == *r) {
        ++l;
        ++r;
    }
    return *l < *r ? -1 : (*l > *r ? 1 : 0);
}

int zkcrt__stricmp(const char* left, const char* right) { return CompareFolded(left, right, static_cast<size_t>(-1)); }

int zkcrt__strnicmp(const char* left, const char* right, size_t count) { return CompareFolded(left, right, count); }

}  // extern "C"
