// What the story's steps share: reporting a failed step, reading options,
// finding a lower device, and sending a request to the top of its stack.
#pragma once
#include "platform/nt.h"
#include "tests/wine/driver/lower.h"
#include "tests/wine/driver/names.h"
#include "tests/wine/driver/story.h"

namespace zkt {

// The largest buffer a request step allocates.
constexpr ULONG kBufferLimit = 64 * 1024;

// Marks the story failed: "zktest: FAIL line N: WHAT DETAIL".
VOID Fail(const CHAR* what, const CHAR* detail = "");
// A number option, or fallback when absent; FALSE (and Fail) when malformed.
BOOLEAN NumberOption(const Step& step, const CHAR* key, ULONG64 fallback, ULONG64* value);
// Flags named by a comma-separated option, ORed (0 when absent): names from
// the table, or numbers up to limit (names only for limit 0); FALSE (and
// Fail, naming `what`) for anything else.
BOOLEAN FlagsOption(const Step& step, const CHAR* key, const NamedCode* table, ULONG count, ULONG limit,
                    const CHAR* what, ULONG* flags);
// Checks expect= against how the request ended.
VOID Expect(const Step& step, NTSTATUS status);
Lower* Find(const CHAR* name);
// Zeroed non-paged pool under the stack driver's tag.
PVOID Allocate(ULONG size);
// Internal device control with Argument1 to the top of the device's stack;
// the status it ended with.
NTSTATUS SendInternal(Lower* lower, ULONG code, PVOID argument);

// The request steps (requests.cpp).
VOID SendPnp(const Step& step, Lower* lower, UCHAR minor);
VOID SendPower(const Step& step);
VOID SendPlain(const Step& step);
VOID SendWmi(const Step& step);
VOID SendReadWrite(const Step& step, BOOLEAN write);
VOID SendControl(const Step& step, BOOLEAN internal);
VOID SendSrb(const Step& step);

}  // namespace zkt
