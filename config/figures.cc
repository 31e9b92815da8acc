#include "config/figures.h"

#include <cinttypes>
#include <cstdio>

namespace setwick {

std::string FormatFigure(const std::string& format, std::uint64_t figure, char letter) {
  std::string wide;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format.compare(i, 3, "%lu") == 0) {
      wide += "%" PRIu64;
      i += 2;
    } else {
      wide += format[i];
    }
  }
  char text[128];
  std::snprintf(text, sizeof text, wide.c_str(), figure, letter);
  return text;
}

}  // namespace setwick
