// The driver's parameters in the registry as scenarios see them: the
// command line's overrides, and the 'registry' and 'expect-registry' steps.
#pragma once
#include <string>

#include "sim/runner.h"
#include "sim/scenario.h"

namespace scn {

// Command-line overrides win over whatever the registry says: every mask
// and every trailer value under `key` is replaced before a device reads them.
void ApplyRegistryOverrides(const std::string& key, const RunOptions& options);

// registry VALUE dword N | sz "TEXT" | delete: sets or deletes a value under
// `key`. The reason when the step is malformed, else "".
std::string SetRegistryValue(const Step& step, const std::string& key);

// expect-registry VALUE dword N | sz "TEXT" | absent: the reason when the
// value under `key` differs, else "".
std::string ExpectRegistryValue(const Step& step, const std::string& key);

}  // namespace scn
