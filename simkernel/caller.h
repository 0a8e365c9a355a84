// The program behind a request: who it runs as, and the part of its address
// space that a 32-bit pointer can name.
//
// Accounts. SeCaptureSubjectContext describes the account the calling
// thread acts as; SeTokenIsAdmin answers for it. A thread acts as SYSTEM
// unless an ActingAs scope says otherwise; a handle remembers the account
// that opened it, so a sender can act as its owner.
//
// Low user memory. A program's data area that a request names by a 32-bit
// address lies below 2 GB: LowUserArea maps pages there (at the same address
// on every run after a reset), FreeLowUserArea unmaps them, so that a later
// touch faults as on a page the program freed. ProbeForRead/ProbeForWrite
// refuse what lies outside user space, as the kernel's do; a test can have
// the pages of an area freed right after the next probe of it succeeds, as
// another thread of the program would.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/ntbase.h"

namespace sim {

enum class Account { System, Administrator, StandardUser };

Account CurrentAccount();
class ActingAs {
public:
    explicit ActingAs(Account account);
    ~ActingAs();
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

private:
    Account saved_;
};

// The account a handle was opened by (Administrator for one never set).
void SetHandleAccount(HANDLE handle, Account account);
Account HandleAccount(HANDLE handle);

// Subject contexts captured and not yet released (should be 0 between requests).
int OpenSubjectContexts();

// Pages below 2 GB, readable and writable, zero-filled.
uint8_t* LowUserArea(size_t bytes);
void FreeLowUserArea(uint8_t* area);
// The next successful ProbeForRead or ProbeForWrite of a range starting in
// the area frees it before the probe returns.
void FreeLowUserAreaAfterProbe(uint8_t* area);
// Runs the action once, in the prober's thread, right after the next
// successful ProbeForRead or ProbeForWrite: what another thread of the
// program, or another processor, does while the driver is inside a request.
void RunAfterNextProbe(std::function<void()> action);

// A program owns the pages the scenario gave it: its low areas, its buffers
// of the simulated memory manager, and pages added here (taken back with
// RemoveProgramPages). A user-mode probe of any other page of the host
// process fails, as for a page the program never mapped.
void AddProgramPages(const void* start, size_t bytes);
void RemoveProgramPages(const void* start);
bool IsProgramPage(const void* address);

// The highest address a user-mode range may reach, as MmUserProbeAddress.
constexpr uintptr_t kUserProbeAddress = 0x7FFFFFFF0000ull;

}  // namespace sim
