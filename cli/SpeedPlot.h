// The disk check as a picture: read and write speed against the position on
// the disk, bad sectors and the real capacity marked. An SVG document written
// by hand, so that no drawing library is needed.
#pragma once

#include <string>

#include "DiskCheck.h"

namespace cli {

// title: what was checked and what came of it, shown above the plot.
std::string speedPlotSvg(const CheckResult &result, const std::string &title);

} // namespace cli
