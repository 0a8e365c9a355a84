// The kernel debugger's side of DbgPrint: each call is formatted with the
// kernel's printf dialect, cut to what one call can transmit, and recorded.
#include <atomic>
#include <cstdarg>
#include <mutex>
#include <ostream>

#include "platform/ntio.h"
#include "simkernel/core.h"
#include "simkernel/crt_format.h"

namespace sim {

void ResetDebugOutputForReboot();

namespace {

// What one DbgPrint call transmits at most.
constexpr size_t kMaxDebugText = 512;

struct DebugState {
    std::mutex mutex;
    std::vector<DebugCall> calls;
    std::ostream* stream = nullptr;
    std::function<void(const std::string&)> observer;
    std::atomic<bool> recording{true};
};

DebugState& Debug() {
    static DebugState state;
    return state;
}

// Wide text in a format is converted through the code page tables, which
// are pageable: the kernel allows it at PASSIVE_LEVEL only.
void CheckWideConversion(const char* conversion) { RequirePassive(conversion); }

void InstallWideConversionCheck() { g_wideConversionHook = &CheckWideConversion; }

// Installed at start-up as well as at every reset, so that formatting done
// before the first reset is checked too.
[[maybe_unused]] const bool g_checkInstalled = (InstallWideConversionCheck(), true);

}  // namespace

const std::vector<DebugCall>& DebugCalls() { return Debug().calls; }

std::string DebugText() {
    DebugState& debug = Debug();
    std::lock_guard<std::mutex> lock(debug.mutex);
    std::string text;
    for (const DebugCall& call : debug.calls)
        text += call.text;
    return text;
}

void ClearDebugOutput() {
    DebugState& debug = Debug();
    std::lock_guard<std::mutex> lock(debug.mutex);
    debug.calls.clear();
}

void SetDebugStream(std::ostream* stream) {
    DebugState& debug = Debug();
    std::lock_guard<std::mutex> lock(debug.mutex);
    debug.stream = stream;
}

void SetDebugObserver(std::function<void(const std::string& text)> observer) {
    DebugState& debug = Debug();
    std::lock_guard<std::mutex> lock(debug.mutex);
    debug.observer = std::move(observer);
}

void SetDebugRecording(bool on) { Debug().recording.store(on, std::memory_order_relaxed); }

// A reboot loses what the debugger received but not the debugger itself: the
// stream and the observer stay attached. Recording comes back on, so that a
// run which silenced the debugger cannot silence the next one.
void ResetDebugOutputForReboot() {
    InstallWideConversionCheck();
    ClearDebugOutput();
    SetDebugRecording(true);
}

}  // namespace sim

// Callable at any IRQL. The kernel formats into a 512-byte buffer with
// _vsnprintf; when the text does not fit, the buffer is sent whole with its
// last character replaced by a line break, so the next call starts a new
// line in the debugger.
extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    char buffer[sim::kMaxDebugText];
    va_list args;
    va_start(args, Format);
    const int length = sim::KernelVsnprintf(buffer, sizeof buffer, Format, args);
    va_end(args);

    sim::DebugState& debug = sim::Debug();
    if (!debug.recording.load(std::memory_order_relaxed)) return STATUS_SUCCESS;

    std::string text;
    if (length < 0) {
        buffer[sizeof buffer - 1] = '\n';
        text.assign(buffer, sizeof buffer);
    } else {
        text.assign(buffer, static_cast<size_t>(length));
    }

    std::function<void(const std::string&)> observer;
    {
        std::lock_guard<std::mutex> lock(debug.mutex);
        debug.calls.push_back(sim::DebugCall{text});
        if (debug.stream != nullptr) {
            debug.stream->write(text.data(), static_cast<std::streamsize>(text.size()));
            debug.stream->flush();
        }
        observer = debug.observer;
    }
    if (observer) observer(text);
    return STATUS_SUCCESS;
}
