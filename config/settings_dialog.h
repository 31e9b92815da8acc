// The settings dialog: reads the settings key, prepares the installation
// (spool directories, event-log source), shows the settings with the product
// information and writes them back after "OK".
#pragma once

#include <cstdint>
#include <string>

#include "platform/dialog.h"

namespace setwick {

class SettingsDialog : public platform::DialogHandler {
 public:
  // Reads the settings and runs the installation set-up; failures are shown
  // in message boxes of host.
  SettingsDialog(platform::DialogHost& host, const platform::ProgramResources& resources);

  // Runs the dialog modally: platform::kIdOk or platform::kIdCancel.
  int DoModal();
  // Writes the settings key and shows the outcome.
  void Save();

  void OnInit(platform::DialogWindow& window) override;
  void OnOk(platform::DialogWindow& window) override;
  bool OnSystemCommand(platform::DialogWindow& window, std::uint32_t command) override;

 private:
  void ReadSettings();
  void SetUpInstallation();
  // Controls into members.
  void ReadControls(const platform::DialogWindow& window);
  void ShowProductInformation(platform::DialogWindow& window);

  platform::DialogHost& host_;
  const platform::ProgramResources& resources_;
  std::string installdir_;
  std::string exchange_root_;
  std::string localdomain_;
  std::string localserver_;
  std::string popserver_;
  std::string popname_;
  std::string poppass_;
  int loglevel_ = -1;
  int icon_id_ = 0;
};

}  // namespace setwick
