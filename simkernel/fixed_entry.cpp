#include "simkernel/fixed_entry.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

#include "simkernel/arena.h"
#include "simkernel/core.h"

namespace sim {
namespace {

// Beside the kernel's object arena, with low 32 bits that look like code.
constexpr uintptr_t kCodeBase = kFixedRangeHigh | 0xF1394000ull;
constexpr size_t kCodeSize = 4096;
// Entries start past the page's first bytes: a sanitizer may look just
// before a routine it is about to call.
constexpr size_t kFirstEntry = 0x100;
constexpr size_t kEntrySize = 0x10;

struct CodePage {
    std::mutex lock;
    uint8_t* page = nullptr;
    bool tried = false;
    size_t next = kFirstEntry;
    std::map<void*, void*> entries;
};

CodePage& Code() {
    static CodePage* code = new CodePage;
    return *code;
}

void Forget() {
    CodePage& code = Code();
    std::lock_guard<std::mutex> guard(code.lock);
    code.entries.clear();
    code.next = kFirstEntry;
}

}  // namespace

void* FixedEntry(void* routine) {
    CodePage& code = Code();
    std::lock_guard<std::mutex> guard(code.lock);
    if (!code.tried) {
        code.tried = true;
        void* p = mmap(reinterpret_cast<void*>(kCodeBase), kCodeSize, PROT_READ | PROT_WRITE | PROT_EXEC,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (p == reinterpret_cast<void*>(kCodeBase))
            code.page = static_cast<uint8_t*>(p);
        else if (p != MAP_FAILED)
            munmap(p, kCodeSize);
        RegisterResetHook(Forget);
    }
    auto found = code.entries.find(routine);
    if (found != code.entries.end()) return found->second;
    if (code.page == nullptr || code.next + kEntrySize > kCodeSize) return routine;

    // movabs rax, routine; jmp rax
    uint8_t* entry = code.page + code.next;
    uint64_t target = reinterpret_cast<uint64_t>(routine);
    entry[0] = 0x48;
    entry[1] = 0xB8;
    std::memcpy(entry + 2, &target, sizeof(target));
    entry[10] = 0xFF;
    entry[11] = 0xE0;
    __builtin___clear_cache(reinterpret_cast<char*>(entry), reinterpret_cast<char*>(entry + kEntrySize));
    code.next += kEntrySize;
    code.entries[routine] = entry;
    return entry;
}

}  // namespace sim
