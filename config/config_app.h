// The configuration program: one modal settings dialog, saved after "OK".
#pragma once

#include "platform/dialog.h"

namespace setwick {

class ConfigApp {
 public:
  explicit ConfigApp(platform::DialogHost& host);
  // Reads and sets up, runs the settings dialog, saves after "OK". Returns
  // the program's exit code.
  int Run();

 private:
  platform::DialogHost& host_;
};

}  // namespace setwick
