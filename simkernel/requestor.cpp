#include "simkernel/requestor.h"

#include <mutex>
#include <set>

#include "platform/ntioctl.h"
#include "simkernel/core.h"

namespace {

struct State {
    std::mutex mutex;
    std::set<PFILE_OBJECT> files32;
};

State& Requestors() {
    static State state;
    return state;
}

void Forget() {
    std::lock_guard<std::mutex> lock(Requestors().mutex);
    Requestors().files32.clear();
}

void EnsureResetHook() {
    static std::once_flag once;
    std::call_once(once, [] { sim::RegisterResetHook(Forget); });
}

}  // namespace

namespace sim {

void SetFileObject32bit(PFILE_OBJECT file, bool is32bit) {
    EnsureResetHook();
    std::lock_guard<std::mutex> lock(Requestors().mutex);
    if (is32bit)
        Requestors().files32.insert(file);
    else
        Requestors().files32.erase(file);
}

bool Is32bitFileObject(PFILE_OBJECT file) {
    std::lock_guard<std::mutex> lock(Requestors().mutex);
    return Requestors().files32.count(file) != 0;
}

}  // namespace sim

// A kernel-mode request has no program behind it; a program's request is a
// 32-bit one when its handle's file object is marked so.
extern "C" BOOLEAN IoIs32bitProcess(PIRP Irp) {
    sim::RequireAtMostDispatch("IoIs32bitProcess");
    if (Irp == nullptr || Irp->RequestorMode != UserMode) return FALSE;
    std::lock_guard<std::mutex> lock(Requestors().mutex);
    return Requestors().files32.count(Irp->Tail.Overlay.OriginalFileObject) != 0 ? TRUE : FALSE;
}
