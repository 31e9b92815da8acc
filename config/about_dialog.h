// The about box: program name and version, physical memory, free disk space
// of the current drive.
#pragma once

#include "platform/dialog.h"

namespace setwick {

class AboutDialog : public platform::DialogHandler {
 public:
  explicit AboutDialog(platform::DialogHost& host);
  int DoModal();
  void OnInit(platform::DialogWindow& window) override;

 private:
  platform::DialogHost& host_;
};

}  // namespace setwick
