// Whose code runs on a thread: the kernel calls a driver's dispatch routine,
// completion routine or work item, and the routines that driver calls are
// then called on its behalf. The verifier's checks of what a driver may do
// with objects of others, and of what a completion routine may do, use this.
#pragma once
#include "platform/ntio.h"

namespace sim {

enum class FrameKind { Dispatch, Completion, WorkItem };

// One call of a driver's routine by the kernel, for the scope's life. A
// completion routine of the request's sender has no driver (nullptr).
class DriverFrame {
public:
    DriverFrame(PDRIVER_OBJECT driver, FrameKind kind, const void* routine);
    ~DriverFrame();
    DriverFrame(const DriverFrame&) = delete;
    DriverFrame& operator=(const DriverFrame&) = delete;
};

// The driver whose routine the innermost frame is; nullptr when no driver
// routine runs (the kernel itself, a test, the simulated bus).
PDRIVER_OBJECT CurrentDriver();

// Bug check when the calling thread is inside a completion routine's call,
// at whatever depth: registry and file work is never done from there.
void RequireOutsideCompletion(const char* routine);

}  // namespace sim
