// A picture of a capture: per device the requests over time, one lane per
// kind with the failures marked, and a histogram of their latencies.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "requests.h"

namespace zklog {

// A self-contained SVG document (no scripts, no external references).
void PlotSvg(std::ostream& out, const std::vector<Request>& requests, const std::string& title);

}  // namespace zklog
