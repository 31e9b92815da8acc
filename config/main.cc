// Setwick, the configuration program of the Tallowmere gateway.
#include "config/config_app.h"
#include "config/resources.h"

int main() {
  setwick::ConfigApp app(platform::DefaultDialogHost(setwick::Resources()));
  return app.Run();
}
