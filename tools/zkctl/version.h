// The release's version. CMakeLists.txt sets it once (project VERSION) for
// zkctl, and checks the INF's DriverVer against it; the driver's interface
// version carries its major and minor number.
#pragma once
#include "ioctl/request.h"

#if !defined(ZELKOR_VERSION_MAJOR) || !defined(ZELKOR_VERSION_MINOR) || !defined(ZELKOR_VERSION_PATCH)
#error "the build sets ZELKOR_VERSION_MAJOR, _MINOR and _PATCH (CMakeLists.txt)"
#endif

static_assert(ZK_INTERFACE_VERSION == ((ZELKOR_VERSION_MAJOR << 8) | ZELKOR_VERSION_MINOR),
              "the driver's interface version and the release's version differ");
