// Holds the numbers in expected_layouts.inc against the mingw-w64 DDK
// headers: an independent account of the x64 kernel structures and constants,
// written without reference to this project. Compiled only, never run.
//
// The DDK's own intrinsics clash with the ones <intrin.h> brings in for the
// mingw target; the two below are defined by wdm.h itself.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <srb.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <usb.h>
#include <wmistr.h>
#include <scsi.h>
#include <usbioctl.h>
#include <ntdddisk.h>
#include <ntddcdrm.h>
#include <ntddkbd.h>
#include <ntddmou.h>
#include <ntdd8042.h>
#include <ntddvol.h>
#include <ntddft.h>
#include <mountdev.h>
#include <acpiioct.h>

#if !defined(_WIN64)
#error "the layouts are the x64 ones: compile for x86_64-w64-mingw32"
#endif

#define ZK_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), "sizeof(" #type ")");
#define ZK_OFFSET(type, member, offset) \
    static_assert(__builtin_offsetof(type, member) == (offset), "offset of " #type "." #member);
#define ZK_CONST(name, value) static_assert((unsigned int)(name) == (unsigned int)(value), "value of " #name);
#define ZK_PLATFORM_CONST(name, value)

#define ZK_PLATFORM_SIZE(type, bytes)
#define ZK_PLATFORM_OFFSET(type, member, offset)

#include "expected_layouts.inc"
