// Guarded execution and the page-fault handler.
//
// A guarded region is a sigjmp_buf on a per-thread stack. Real faults reach
// one SIGSEGV/SIGBUS handler, which does what the Windows fault path does in
// the same situation: page a paged-out page back in, stop the system when a
// page must be brought in at DISPATCH_LEVEL or above or when a kernel address
// is not mapped, or turn the fault into STATUS_ACCESS_VIOLATION for the
// innermost region. A fault outside every
// region is none of our business: it goes to whoever handled the signal
// before us (AddressSanitizer's report, or the default action), so a real
// crash stays a real crash.
#include <execinfo.h>
#include <unistd.h>
#include <signal.h>
#include <setjmp.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/guarded.h"
#include "platform/ntio.h"
#include "simkernel/core.h"
#include "simkernel/memory.h"

namespace sim {
namespace {

struct GuardFrame {
    sigjmp_buf env;
    GuardFrame* outer;
    volatile NTSTATUS status;
};

// Plain (trivially initialised) thread-locals: the fault handler reads them.
thread_local GuardFrame* t_innermost = nullptr;
thread_local bool t_passingOn = false;

constexpr int kSignals[] = {SIGSEGV, SIGBUS};
struct sigaction g_previous[2];
std::mutex g_installMutex;

int SignalIndex(int sig) { return sig == SIGBUS ? 1 : 0; }

// The region ends with the exception's code, as the Windows image's filter
// takes it; a code that would read as success reads as a failure there too.
[[noreturn]] void Unwind(NTSTATUS status) {
    GuardFrame* frame = t_innermost;
    frame->status = NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    siglongjmp(frame->env, 1);
}

[[noreturn]] void RaisedIrqlFault(const void* address, const char* what) {
    char detail[160];
    std::snprintf(detail, sizeof detail, "%s %p touched at IRQL %d", what, address, static_cast<int>(CurrentIrql()));
    BugCheck("IRQL_NOT_LESS_OR_EQUAL", "page fault", nullptr, detail);
}

void PassOn(int sig, siginfo_t* info, void* context) {
    const struct sigaction& previous = g_previous[SignalIndex(sig)];
    // A handler further down that hands the signal back to us must not loop.
    if (!t_passingOn) {
        if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
            t_passingOn = true;
            previous.sa_sigaction(sig, info, context);
            t_passingOn = false;
            return;
        }
        if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
            t_passingOn = true;
            previous.sa_handler(sig);
            t_passingOn = false;
            return;
        }
    }
    // Default action: a real fault strikes again when the instruction is
    // retried; a signal sent by someone else is raised anew. A fault no one
    // handles ends the process: say where first, as a crash dump would.
    if (info->si_code > 0) {
        char text[160];
        int n = std::snprintf(text, sizeof text,
                              "*** STOP: KMODE_EXCEPTION_NOT_HANDLED: access violation at %p outside any guarded "
                              "region (IRQL %d)\n",
                              info->si_addr, static_cast<int>(CurrentIrql()));
        if (n > 0 && write(2, text, static_cast<size_t>(n)) < 0) n = 0;
        void* frames[48];
        backtrace_symbols_fd(frames, backtrace(frames, 48), 2);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    if (info->si_code <= 0) raise(sig);
}

void FaultHandler(int sig, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    if (info->si_code > 0) {  // a fault, not a signal someone sent
        const void* address = info->si_addr;
        const PageState state = QueryPage(address);
        if (state == PageState::PagedOut) {
            if (CurrentIrql() > APC_LEVEL) RaisedIrqlFault(address, "paged-out page");
            PageIn(address);
            errno = savedErrno;
            return;  // the instruction is retried on the resident page
        }
        if (state == PageState::Valid && sig == SIGSEGV) {
            // Another thread made the page resident between the fault and now.
            errno = savedErrno;
            return;
        }
        if (t_innermost != nullptr) {
            // A page that is not present cannot be brought in above
            // APC_LEVEL, and the fault path stops the system before any
            // exception handler gets a say.
            const bool notPresent = state == PageState::Invalid ||
                                    (state == PageState::Unknown && sig == SIGSEGV && info->si_code == SEGV_MAPERR);
            // Only user addresses raise: a kernel address that is not
            // mapped stops the system at any IRQL.
            if (notPresent && IsKernelAddress(address)) {
                char detail[160];
                std::snprintf(detail, sizeof detail,
                              "kernel address %p is not mapped (touched at IRQL %d); only a fault on a user "
                              "address raises an exception a guarded region catches",
                              address, static_cast<int>(CurrentIrql()));
                BugCheck("PAGE_FAULT_IN_NONPAGED_AREA", "page fault", nullptr, detail);
            }
            if (notPresent && CurrentIrql() >= DISPATCH_LEVEL) RaisedIrqlFault(address, "invalid address");
            NoteCaughtFault();
            Unwind(STATUS_ACCESS_VIOLATION);
        }
    }
    PassOn(sig, info, context);
    errno = savedErrno;
}

}  // namespace

void InstallFaultHandler() {
    struct sigaction current {};
    sigaction(SIGSEGV, nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == FaultHandler) return;

    std::lock_guard<std::mutex> lock(g_installMutex);
    for (int sig : kSignals) {
        struct sigaction ours {};
        ours.sa_sigaction = FaultHandler;
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        struct sigaction previous {};
        sigaction(sig, &ours, &previous);
        if (!((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction == FaultHandler))
            g_previous[SignalIndex(sig)] = previous;
    }
}

[[noreturn]] void RaiseStatus(NTSTATUS status, const char* routine) {
    if (t_innermost != nullptr) Unwind(status);
    char detail[96];
    std::snprintf(detail, sizeof detail, "exception 0x%08X raised outside any guarded region",
                  static_cast<unsigned>(status));
    BugCheck("KMODE_EXCEPTION_NOT_HANDLED", routine, nullptr, detail);
}

int GuardedDepth() {
    int depth = 0;
    for (const GuardFrame* f = t_innermost; f != nullptr; f = f->outer)
        ++depth;
    return depth;
}

}  // namespace sim

extern "C" NTSTATUS ZkGuardedCall(ZK_GUARDED_ROUTINE* Routine, PVOID Context) {
    sim::RequireAtMostDispatch("ZkGuardedCall");
    sim::InstallFaultHandler();
    sim::GuardFrame frame;
    frame.outer = sim::t_innermost;
    frame.status = STATUS_SUCCESS;
    if (sigsetjmp(frame.env, 1) == 0) {
        sim::t_innermost = &frame;
        Routine(Context);
    }
    sim::t_innermost = frame.outer;
    return frame.status;
}
