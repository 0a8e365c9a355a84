// The per-thread stack of driver routines the kernel has called.
#include "simkernel/frames.h"

#include <string>

#include "simkernel/core.h"
#include "simkernel/iomgr_internal.h"
#include "simkernel/thread_stack.h"

namespace sim {
namespace {

struct Frame {
    PDRIVER_OBJECT driver;
    FrameKind kind;
    const void* routine;
};

// Deep enough for a stack of drivers that call each other's routines, each
// answerable for a routine of another's it calls.
constexpr size_t kDepth = 256;
thread_local ThreadStack<Frame, kDepth> t_driverFrames;
thread_local ThreadStack<PDRIVER_OBJECT, 2 * kDepth> t_answerable;

}  // namespace

void ThreadStackOverflow(const char* what) {
    BugCheck("SIMULATION_LIMIT", what, nullptr, "calls nest deeper than the simulator follows on one thread");
}

DriverFrame::DriverFrame(PDRIVER_OBJECT driver, FrameKind kind, const void* routine) {
    t_driverFrames.Push(Frame{driver, kind, routine}, "DriverFrame");
    t_answerable.Push(driver, "DriverFrame");
}

DriverFrame::~DriverFrame() {
    t_answerable.Pop();
    t_driverFrames.Pop();
}

Answerable::Answerable(PDRIVER_OBJECT driver) { t_answerable.Push(driver, "Answerable"); }

Answerable::~Answerable() { t_answerable.Pop(); }

PDRIVER_OBJECT AnswerableDriver() { return t_answerable.Empty() ? nullptr : t_answerable.Back(); }

PDRIVER_OBJECT CurrentDriver() { return t_driverFrames.Empty() ? nullptr : t_driverFrames.Back().driver; }

void RequireOutsideCompletion(const char* routine) {
    for (const Frame* frame = t_driverFrames.end(); frame != t_driverFrames.begin();)  // innermost first
        if ((--frame)->kind == FrameKind::Completion)
            BugCheck("NoRegistryInCompletionRoutine", routine, nullptr,
                     "called from within the completion routine " + io::RoutineName(frame->routine) +
                         ", which runs inside another driver's completion call in an arbitrary thread (perhaps "
                         "on the disk that holds the hive), whatever its IRQL: queue a work item instead");
}

}  // namespace sim
