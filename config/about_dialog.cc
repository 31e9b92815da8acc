#include "config/about_dialog.h"

#include <string>

#include "config/figures.h"
#include "config/resources.h"
#include "platform/env.h"

namespace setwick {

AboutDialog::AboutDialog(platform::DialogHost& host) : host_(host) {}

int AboutDialog::DoModal() { return host_.RunModal(AboutTemplate(), *this); }

void AboutDialog::OnInit(platform::DialogWindow& window) {
  platform::Env& env = platform::env();
  const platform::ProgramResources& resources = Resources();

  // Taken whole as 64 bits: 4 GB and more must not wrap.
  platform::MemoryStatus memory;
  if (env.QueryMemory(&memory)) {
    window.SetItemText(kMemoryLabel, FormatFigure(resources.LoadString(kMemoryFormatString),
                                                  memory.total_physical_bytes >> 10));
  }

  const int drive = env.CurrentDrive();
  const char letter = static_cast<char>('@' + drive);
  platform::DiskFree free;
  std::string disk;
  if (env.QueryDiskFree(std::string(1, letter) + ":\\", &free)) {
    const std::uint64_t bytes =
        free.available_clusters * free.sectors_per_cluster * free.bytes_per_sector;
    disk = FormatFigure(resources.LoadString(kDiskFormatString), bytes >> 10, letter);
  } else {
    disk = resources.LoadString(kDiskUnavailableString);
  }
  window.SetItemText(kDiskLabel, disk);
}

}  // namespace setwick
