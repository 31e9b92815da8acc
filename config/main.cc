// Setwick, the configuration program of the Tallowmere gateway.
#include "config/config_app.h"
#include "config/resources.h"
#include "platform/env.h"

int main() {
  platform::env().KeepNewFilesPrivate();  // the spool directories are the site's
  setwick::ConfigApp app(platform::DefaultDialogHost(setwick::Resources()));
  return app.Run();
}
