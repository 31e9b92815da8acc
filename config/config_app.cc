#include "config/config_app.h"

#include "config/resources.h"
#include "config/settings_dialog.h"

namespace setwick {

ConfigApp::ConfigApp(platform::DialogHost& host) : host_(host) {}

int ConfigApp::Run() {
  SettingsDialog dialog(host_, Resources());
  if (dialog.DoModal() == platform::kIdOk) dialog.Save();
  return 0;
}

}  // namespace setwick
