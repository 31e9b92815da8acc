#include "config/settings_dialog.h"

#include <map>

#include "config/about_dialog.h"
#include "config/registry_text.h"
#include "config/resources.h"
#include "gateway/control/text.h"

namespace setwick {

namespace {

constexpr char kUnableToOpen[] = "Unable to open Quillon Registry";
constexpr std::uint32_t kTypesSupported = 7;  // error, warning, information

// The "ProductVersion" of the program file's version record, false when the
// record cannot be read.
bool ProductVersion(const char* bare_name, std::string* version) {
  std::map<std::string, std::string> entries;
  if (!platform::env().ReadVersionRecord(bare_name, &entries)) return false;
  auto it = entries.find("ProductVersion");
  if (it != entries.end()) *version = it->second;
  return true;
}

}  // namespace

SettingsDialog::SettingsDialog(platform::DialogHost& host,
                               const platform::ProgramResources& resources)
    : host_(host), resources_(resources) {
  ReadSettings();
  SetUpInstallation();
  icon_id_ = resources_.icon_id;
}

int SettingsDialog::DoModal() { return host_.RunModal(SettingsTemplate(), *this); }

void SettingsDialog::ReadSettings() {
  platform::Env& env = platform::env();
  platform::RegKey key = 0;
  if (env.RegOpen(platform::RegRoot::kLocalMachine, kSettingsKey,
                  platform::RegAccess::kQueryValue, &key) != platform::kErrorSuccess) {
    host_.MessageBox(kUnableToOpen);
    return;
  }
  ReadText(key, "localdomain", &localdomain_);
  ReadText(key, "localserver", &localserver_);
  ReadText(key, "popserver", &popserver_);
  ReadText(key, "popname", &popname_);
  ReadText(key, "poppass", &poppass_);
  ReadText(key, "installdir", &installdir_);
  std::string level;
  ReadText(key, "loglevel", &level);
  loglevel_ = DecimalValue(level);
  env.RegClose(key);
}

void SettingsDialog::SetUpInstallation() {
  platform::Env& env = platform::env();
  platform::RegKey key = 0;
  if (env.RegOpen(platform::RegRoot::kLocalMachine, kConnectorKey,
                  platform::RegAccess::kQueryValue, &key) != platform::kErrorSuccess) {
    host_.MessageBox(kUnableToOpen);
  } else {
    if (ReadText(key, "RootDir", &exchange_root_) != platform::kErrorSuccess) {
      host_.MessageBox("Unable to get value");
    }
    env.RegClose(key);
  }

  // Parents first; a directory that exists or cannot be made is passed over.
  for (const char* dir : {"\\quillon", "\\quillon\\in", "\\quillon\\out", "\\quillon\\Archive"}) {
    env.MakeDirectory(exchange_root_ + dir);
  }

  platform::RegDisposition disposition = platform::RegDisposition::kOpenedExistingKey;
  if (env.RegCreate(platform::RegRoot::kLocalMachine, kEventSourceKey, &key, &disposition) !=
      platform::kErrorSuccess) {
    host_.MessageBox("Unable to Set registry Value");
    return;
  }
  if (disposition == platform::RegDisposition::kCreatedNewKey) {
    WriteText(key, "EventMessageFile", installdir_ + "\\quillon.exe", platform::kRegExpandSz);
    const unsigned char types[4] = {kTypesSupported, 0, 0, 0};  // little-endian DWORD
    env.RegSet(key, "TypesSupported", platform::kRegDword, types, sizeof types);
  }
  env.RegClose(key);
}

void SettingsDialog::OnInit(platform::DialogWindow& window) {
  window.SetItemText(kLocalDomainEdit, localdomain_);
  window.SetItemText(kLocalServerEdit, localserver_);
  window.SetItemText(kPopServerEdit, popserver_);
  window.SetItemText(kPopNameEdit, popname_);
  window.SetItemText(kPopPassEdit, poppass_);
  window.CheckRadio(kLogLevelFirstRadio, loglevel_);

  const std::string about = resources_.LoadString(kAboutMenuString);
  if (!about.empty()) {
    window.AppendSystemMenuSeparator();
    window.AppendSystemMenuItem(kAboutCommand, about);
  }
  window.SetIcon(icon_id_);
  // A stored level outside 0 to 3 checked no button and becomes -1 here.
  ReadControls(window);
  ShowProductInformation(window);
}

void SettingsDialog::OnOk(platform::DialogWindow& window) { ReadControls(window); }

bool SettingsDialog::OnSystemCommand(platform::DialogWindow&, std::uint32_t command) {
  if ((command & platform::kSysCommandMask) != kAboutCommand) return false;
  AboutDialog about(host_);
  about.DoModal();
  return true;
}

void SettingsDialog::ReadControls(const platform::DialogWindow& window) {
  localdomain_ = window.ItemText(kLocalDomainEdit);
  localserver_ = window.ItemText(kLocalServerEdit);
  popserver_ = window.ItemText(kPopServerEdit);
  popname_ = window.ItemText(kPopNameEdit);
  poppass_ = window.ItemText(kPopPassEdit);
  loglevel_ = window.CheckedRadio(kLogLevelFirstRadio);
}

void SettingsDialog::ShowProductInformation(platform::DialogWindow& window) {
  std::string version;
  if (!ProductVersion("Setwick.exe", &version)) return;
  if (!version.empty()) window.SetItemText(kSetwickVersionLabel, version);
  version.clear();
  if (!ProductVersion("Quillon.exe", &version)) return;
  if (!version.empty()) window.SetItemText(kQuillonVersionLabel, version);
}

void SettingsDialog::Save() {
  for (std::string* text : {&localdomain_, &localserver_, &popserver_, &popname_, &poppass_}) {
    *text = TrimRight(std::move(*text));
  }
  platform::Env& env = platform::env();
  platform::RegKey key = 0;
  if (env.RegOpen(platform::RegRoot::kLocalMachine, kSettingsKey,
                  platform::RegAccess::kSetValue, &key) != platform::kErrorSuccess) {
    host_.MessageBox(kUnableToOpen);
    return;
  }
  WriteText(key, "localdomain", localdomain_);
  WriteText(key, "localserver", localserver_);
  WriteText(key, "popserver", popserver_);
  WriteText(key, "popname", popname_);
  WriteText(key, "poppass", poppass_);
  WriteText(key, "exchangedir", exchange_root_);
  const long status = WriteText(key, "loglevel", std::to_string(loglevel_));
  env.RegClose(key);
  host_.MessageBox(status == platform::kErrorSuccess ? "Tallowmere Configured"
                                                     : "Unable to set value");
}

}  // namespace setwick
