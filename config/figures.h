// Formatting of the about box's figures.
#pragma once

#include <cstdint>
#include <string>

namespace setwick {

// Formats a string-table text whose "%lu" takes a 64-bit figure and whose
// "%c" (if any) takes letter. The table keeps its 32-bit "%lu"; the figure is
// formatted with the platform's 64-bit conversion, so memory or disk space of
// 4 GB and more shows whole.
std::string FormatFigure(const std::string& format, std::uint64_t figure, char letter = 0);

}  // namespace setwick
