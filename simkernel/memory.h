// The simulated kernel's memory manager: test buffers whose pages can be made
// invalid, read-only or paged out (backed by real pages, so a bad touch really
// faults), guarded execution, and the MDL bookkeeping that lets a test prove
// every MDL was unlocked and freed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ntbase.h"

namespace sim {

// The page size of the simulated machine, as on x64 Windows. The host's page
// size must match (checked on first use).
constexpr size_t kPageSize = 4096;

// ---------------------------------------------------------------------------
// Buffers. Each buffer is a private mapping of whole pages followed by
// no-access guard pages (one unless asked for more), so a read past the end
// faults as with special pool; more guard pages keep a driver that skips
// ahead by a block's own lengths inside the simulation's memory too.
// The data starts offsetInPage bytes into the first page, which lets a test
// place a buffer's end (or a page boundary) exactly where it wants it.
struct SimBuffer {
    uint8_t* address = nullptr;
    size_t size = 0;
};
// At most 4 GiB and 1 MiB of guard pages: as far as a 32-bit length reaches,
// and a dump's limit beyond it.
constexpr size_t kMaxGuardPages = ((size_t{1} << 32) + (size_t{1} << 20)) / 4096;
SimBuffer AllocateBuffer(size_t bytes, size_t offsetInPage = 0, size_t guardPages = 1);
// Releases the buffer's pages. Freeing pages an MDL still holds locked is a
// bug check, as when a process goes away with locked pages.
void FreeBuffer(const SimBuffer& buffer);

// Page state changes; each takes any address inside a page of a buffer
// (including its guard page) and applies to that whole page.
//   InvalidatePage: no access; any touch faults; MmIsAddressValid says FALSE.
//   PageOut: pageable and not resident; MmIsAddressValid says FALSE; a touch
//     at PASSIVE_LEVEL or APC_LEVEL pages it back in, a touch at
//     DISPATCH_LEVEL or above is the bug check IRQL_NOT_LESS_OR_EQUAL (inside
//     a guarded region too: the page-fault handler checks the IRQL before any
//     exception handler runs). A page locked by an MDL stays resident.
//   MakeReadOnly: resident; reads work, a write faults.
//   MakeValid: resident, readable and writable.
void InvalidatePage(const void* address);
void PageOut(const void* address);
void MakeReadOnly(const void* address);
void MakeValid(const void* address);
// Another thread taking a page away while a driver reads it, made
// deterministic: the page at `address` becomes invalid right after
// MmIsAddressValid has answered `checks` more times (for any address).
void InvalidatePageAfterChecks(const void* address, int checks);

// A page freed under a driver that has just tested it: MmIsAddressValid
// answers TRUE for the page from now on (until the kernel is reset), whatever
// it holds, as a test goes stale when another thread frees the page between
// the test and the touch. The caller leaves the page unmapped (a buffer's
// guard page, the gap after a low user area), so that a touch faults, and
// withdraws the word (vouch false) before the page goes.
void VouchForPage(const void* address, bool vouch = true);
// Faults the fault handler has turned into STATUS_ACCESS_VIOLATION for a
// guarded region since the kernel was reset: what a test that makes a
// driver's reads fault on purpose counts, so that a fault that did not
// happen is noticed.
int CaughtFaults();
void NoteCaughtFault();
bool IsVouched(const void* address);

// An address standing for kernel space (its low 32 bits read 0xFFFFFC00):
// a reserved range that is never accessible, that MmIsAddressValid rejects,
// and that a user-mode probe refuses.
const void* InvalidKernelAddress();
// True for the reserved kernel range and the upper half of the address space.
bool IsKernelAddress(const void* address);

// What the memory manager knows of the page holding an address.
enum class PageState {
    Unknown,  // not a buffer: ordinary process memory, probed for real
    Valid,
    ReadOnly,
    Invalid,  // a no-access buffer page, a guard page, or the kernel range
    PagedOut,
};
PageState QueryPage(const void* address);
// A paged-out buffer page becomes resident again (what the pager does on a
// fault at or below APC_LEVEL). Returns false when the page was not paged out.
bool PageIn(const void* address);
// True when the byte at the address can be read right now, found out without
// touching it.
bool IsReadable(const void* address);
// Lock counts kept per buffer page by MmProbeAndLockPages/MmUnlockPages;
// pages outside buffers are not counted.
void LockPage(const void* address);
void UnlockPage(const void* address);

// ---------------------------------------------------------------------------
// Guarded execution (see platform/guarded.h for the routine the driver uses).
// A kernel routine that raises an exception (as ExRaiseStatus does): inside a
// guarded region, the region ends with that status; outside one, it is the
// bug check KMODE_EXCEPTION_NOT_HANDLED. The routine name goes into the bug
// check message.
[[noreturn]] void RaiseStatus(NTSTATUS status, const char* routine = "ExRaiseStatus");
// Guarded regions the calling thread is inside.
int GuardedDepth();
// Puts the fault handler in place, again if someone replaced it since; the
// handler it displaces gets every fault the simulation has no use for.
void InstallFaultHandler();

// ---------------------------------------------------------------------------
// MDLs. Each MDL that IoAllocateMdl handed out and IoFreeMdl has not yet
// freed, described with its address, range and state; empty when none.
std::vector<std::string> OutstandingMdls();

}  // namespace sim
