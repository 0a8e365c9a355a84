// The one header through which driver code reaches its platform. Driver
// sources include this and nothing else of the system: the same code then
// builds into the Windows image or runs against the simulated kernel.
//
// platform/ is the ground: it includes nothing of the driver's folders.
#pragma once
#include "platform/ntbase.h"
#include "platform/ntio.h"
#include "platform/ntscsi.h"
#include "platform/nt1394.h"
#include "platform/ntusb.h"
#include "platform/ntioctl.h"
#include "platform/ntrtl.h"
#include "platform/ntcrt.h"
#include "platform/guarded.h"
#include "platform/ntcaller.h"
