// The per-thread stack of driver routines the kernel has called.
#include "simkernel/frames.h"

#include <string>
#include <vector>

#include "simkernel/core.h"
#include "simkernel/iomgr_internal.h"

namespace sim {
namespace {

struct Frame {
    PDRIVER_OBJECT driver;
    FrameKind kind;
    const void* routine;
};

thread_local std::vector<Frame> t_driverFrames;
thread_local std::vector<PDRIVER_OBJECT> t_answerable;

}  // namespace

DriverFrame::DriverFrame(PDRIVER_OBJECT driver, FrameKind kind, const void* routine) {
    t_driverFrames.push_back(Frame{driver, kind, routine});
    t_answerable.push_back(driver);
}

DriverFrame::~DriverFrame() {
    t_answerable.pop_back();
    t_driverFrames.pop_back();
}

Answerable::Answerable(PDRIVER_OBJECT driver) { t_answerable.push_back(driver); }

Answerable::~Answerable() { t_answerable.pop_back(); }

PDRIVER_OBJECT AnswerableDriver() { return t_answerable.empty() ? nullptr : t_answerable.back(); }

PDRIVER_OBJECT CurrentDriver() { return t_driverFrames.empty() ? nullptr : t_driverFrames.back().driver; }

void RequireOutsideCompletion(const char* routine) {
    for (auto frame = t_driverFrames.rbegin(); frame != t_driverFrames.rend(); ++frame)
        if (frame->kind == FrameKind::Completion)
            BugCheck("NoRegistryInCompletionRoutine", routine, nullptr,
                     "called from within the completion routine " + io::RoutineName(frame->routine) +
                         ", which runs inside another driver's completion call in an arbitrary thread (perhaps "
                         "on the disk that holds the hive), whatever its IRQL: queue a work item instead");
}

}  // namespace sim
