// Holds the numbers in expected_layouts.inc against the project's own
// platform headers, for whichever target it is compiled (the Windows image's
// and Linux's): the driver sees one layout on both. Compiled only, never run.
#include "platform/nt.h"

#define ZK_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), "sizeof(" #type ")");
#define ZK_OFFSET(type, member, offset) \
    static_assert(__builtin_offsetof(type, member) == (offset), "offset of " #type "." #member);
#define ZK_CONST(name, value) static_assert((unsigned int)(name) == (unsigned int)(value), "value of " #name);
#define ZK_PLATFORM_CONST(name, value) ZK_CONST(name, value)

#define ZK_PLATFORM_SIZE(type, bytes) ZK_SIZE(type, bytes)
#define ZK_PLATFORM_OFFSET(type, member, offset) ZK_OFFSET(type, member, offset)

#include "expected_layouts.inc"
