#pragma once
// One request as a line of JSON, written straight into a buffer: the same
// bytes as RequestJson(request).dump(), without building the object.

#include "requests.h"

#include <string>

namespace zklog {

// Appends the request's JSON (no newline) to `out`.
void AppendRequestJson(std::string& out, const Request& request);

}  // namespace zklog
