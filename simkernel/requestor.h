// What the kernel knows of a request's originator beyond its processor mode:
// whether it is a 32-bit program (IoIs32bitProcess). A program opens a
// handle; marking the handle's file object as a 32-bit program's makes every
// request sent on it come from a 32-bit process.
#pragma once
#include "platform/ntio.h"

namespace sim {

void SetFileObject32bit(PFILE_OBJECT file, bool is32bit);
bool Is32bitFileObject(PFILE_OBJECT file);

}  // namespace sim
