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

// Whom a stop on this thread is held against: the driver whose routine runs
// (a DriverFrame counts), or whose routine the kernel called and is now
// checking what it left behind (the IRQL it returned at, the status it
// returned, the devices it left). Entry, add-device and unload routines are
// answerable without being frames: what they allocate belongs to nobody.
class Answerable {
public:
    explicit Answerable(PDRIVER_OBJECT driver);
    ~Answerable();
    Answerable(const Answerable&) = delete;
    Answerable& operator=(const Answerable&) = delete;
};

// The innermost answerable driver; nullptr when the kernel runs for a caller
// that is no driver (a test, the simulator's steps, the simulated bus's worker).
PDRIVER_OBJECT AnswerableDriver();

// Bug check when the calling thread is inside a completion routine's call,
// at whatever depth: registry and file work is never done from there.
void RequireOutsideCompletion(const char* routine);

}  // namespace sim
