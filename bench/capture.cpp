// The bench links with -Wl,--wrap=zkcrt__vsnprintf (bench/CMakeLists.txt):
// every _vsnprintf call the driver makes reaches __wrap_zkcrt__vsnprintf
// first, which notes the call while a capture is on and then formats as the
// kernel does. Off, it costs a load and a branch, on the driver's side and
// on the replay's alike.
#include "bench/capture.h"

#include <array>
#include <cstdarg>
#include <cstring>
#include <utility>

#include "bench/drivers.h"

extern "C" int __real_zkcrt__vsnprintf(char* buffer, size_t count, const char* format, va_list args);
extern "C" int __wrap_zkcrt__vsnprintf(char* buffer, size_t count, const char* format, va_list args);

namespace zkbench {
namespace {

static_assert(sizeof(void*) == 8 && sizeof(uint64_t) == 8, "the replay passes every argument in a 64-bit slot");

// Enough for the longest trace format: the pass-through line, with the IRP,
// 16 command bytes and the command's name, takes 18.
constexpr size_t kMostSlots = 24;
bool g_capturing = false;
std::vector<FormatCall> g_calls;

// Reads a conversion's size prefix at P: whether the argument is 64 bits wide
// or a wide string; returns where the conversion letter is.
const char* SizePrefix(const char* p, bool* wide64, bool* wideText)
{
    if (std::strncmp(p, "I64", 3) == 0) {
        *wide64 = true;
        p += 3;
    } else if (std::strncmp(p, "I32", 3) == 0) {
        p += 3;
    } else if (std::strncmp(p, "ll", 2) == 0) {
        *wide64 = true;
        p += 2;
    } else if (*p == 'I' || *p == 'z') {
        *wide64 = true;
        ++p;
    } else if (std::strncmp(p, "hh", 2) == 0) {
        p += 2;
    } else if (*p == 'h' || *p == 'l') {
        ++p;
    } else if (*p == 'w') {
        *wideText = true;
        ++p;
    }
    return p;
}

// Takes the arguments of the kernel's printf dialect off the list, as the
// formatter will: flags, width and precision (either may be *), a size
// (h, hh, l, ll, I, I32, I64, w, z) and the conversion.
FormatCall Parse(const char* format, va_list args)
{
    FormatCall call;
    call.format = format;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%')
            continue;
        ++p;
        if (*p == '%')
            continue;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr)
            ++p;
        auto number = [&] {
            if (*p == '*') {
                call.slots.push_back(static_cast<uint32_t>(va_arg(args, int)));
                call.textSlot.push_back(-1);
                ++p;
            }
            while (*p >= '0' && *p <= '9')
                ++p;
        };
        number();
        if (*p == '.') {
            ++p;
            number();
        }
        bool wide64 = false, wideText = false;
        p = SizePrefix(p, &wide64, &wideText);
        switch (*p) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'c':
            if (wideText) {
                call.replayable = false;
                return call;
            }
            call.slots.push_back(wide64 ? va_arg(args, uint64_t) : static_cast<uint32_t>(va_arg(args, int)));
            call.textSlot.push_back(-1);
            break;
        case 's': {
            if (wideText) {
                call.replayable = false;
                return call;
            }
            const char* text = va_arg(args, const char*);
            call.texts.push_back(text != nullptr ? text : "(null)");
            call.slots.push_back(0);
            call.textSlot.push_back(static_cast<int>(call.texts.size() - 1));
            break;
        }
        default:  // %p, %S, %Z, %n, %C and the like: not in the trace formats
            call.replayable = false;
            return call;
        }
        if (*p == '\0')
            break;
    }
    if (call.slots.size() > kMostSlots)
        call.replayable = false;
    return call;
}

template <size_t... Index>
void Call(const char* format, const uint64_t* slots, std::index_sequence<Index...>)
{
    ZKB_FormatLine(format, slots[Index]...);
}

template <size_t... Count>
void CallWith(size_t count, const char* format, const uint64_t* slots, std::index_sequence<Count...>)
{
    ((count == Count ? Call(format, slots, std::make_index_sequence<Count>()) : void()), ...);
}

}  // namespace

void StartCapture()
{
    g_calls.clear();
    g_capturing = true;
}

std::vector<FormatCall> StopCapture()
{
    g_capturing = false;
    return std::move(g_calls);
}

void Replay(const FormatCall& call)
{
    std::array<uint64_t, kMostSlots> slots{};
    const size_t count = call.slots.size();
    for (size_t i = 0; i < count; ++i)
        slots[i] = call.textSlot[i] < 0
                       ? call.slots[i]
                       : reinterpret_cast<uint64_t>(call.texts[static_cast<size_t>(call.textSlot[i])].c_str());
    CallWith(count, call.format.c_str(), slots.data(), std::make_index_sequence<kMostSlots + 1>());
}

}  // namespace zkbench

namespace zkbench {
namespace {

__attribute__((noinline)) int CaptureAndFormat(char* buffer, size_t count, const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    FormatCall call = Parse(format, copy);
    va_end(copy);
    const int result = __real_zkcrt__vsnprintf(buffer, count, format, args);
    call.output.assign(buffer, strnlen(buffer, count));
    g_calls.push_back(std::move(call));
    return result;
}

}  // namespace
}  // namespace zkbench

// Off, a load, a test and a jump on to the kernel's routine.
extern "C" int __wrap_zkcrt__vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    if (!zkbench::g_capturing)
        return __real_zkcrt__vsnprintf(buffer, count, format, args);
    return zkbench::CaptureAndFormat(buffer, count, format, args);
}
