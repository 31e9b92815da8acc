// Test doubles of the configuration program's tests: a dialog front end run
// by scripts (no terminal) and a machine whose registry, directories and
// figures live in memory.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "platform/env.h"

namespace setwick_test {

// A running dialog of the scripted front end: the controls of its template
// with their texts and checks.
class ScriptedWindow final : public platform::DialogWindow {
 public:
  ScriptedWindow(const platform::DialogTemplate& dialog, platform::DialogHandler& handler);

  std::string ItemText(int id) const override;
  void SetItemText(int id, const std::string& text) override;
  int CheckedRadio(int first_id) const override;
  void CheckRadio(int first_id, int position) override;
  void AppendSystemMenuSeparator() override;
  void AppendSystemMenuItem(std::uint32_t command, const std::string& text) override;
  void SetIcon(int icon_id) override { icon_ = icon_id; }

  // What a user does: types a text (replacing the old one), clicks a radio
  // button (a disabled one ignores it), presses "OK", chooses a system
  // command (returns the dialog's result when the command ended it, else 0).
  void Type(int id, const std::string& text);
  void Click(int radio_id);
  int PressOk();
  int SystemCommand(std::uint32_t command);

  const platform::DialogTemplate& dialog() const { return dialog_; }
  bool IsChecked(int radio_id) const { return checked_.at(radio_id); }
  int icon() const { return icon_; }
  // The system menu's additions: "-" for a separator, else "command:text".
  const std::vector<std::string>& menu() const { return menu_; }

 private:
  const platform::DialogTemplate& dialog_;
  platform::DialogHandler& handler_;
  std::map<int, std::string> texts_;
  std::map<int, bool> checked_;
  std::vector<std::string> menu_;
  int icon_ = 0;
};

// A script plays one modal run and returns its result (kIdOk or kIdCancel).
using Script = std::function<int(ScriptedWindow&)>;

class ScriptedHost final : public platform::DialogHost {
 public:
  // Scripts for the next modal runs, in order. A run without a script fails
  // the test and ends with kIdCancel.
  void Expect(Script script) { scripts_.push_back(std::move(script)); }

  int RunModal(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) override;
  void MessageBox(const std::string& text) override { events_.push_back("box: " + text); }

  // In order: "box: <text>" and "dialog <template id>".
  const std::vector<std::string>& events() const { return events_; }
  std::vector<std::string> boxes() const;
  bool all_scripts_used() const { return scripts_.empty(); }

 private:
  std::deque<Script> scripts_;
  std::vector<std::string> events_;
};

// Cancels at once.
int Cancel(ScriptedWindow&);
// Presses "OK" at once.
int PressOk(ScriptedWindow&);

struct RegValue {
  std::uint32_t type = platform::kRegSz;
  std::string data;  // the stored bytes
};

// A REG_SZ as the registry stores it: the text and one NUL.
RegValue Sz(const std::string& text);

// A machine in memory. Keys are named by their path below HKEY_LOCAL_MACHINE
// and compare case-insensitively.
class FakeMachine final : public platform::EnvWrapper {
 public:
  FakeMachine();
  ~FakeMachine() override;

  // The registry.
  void AddKey(const std::string& path) { keys_[Fold(path)]; }
  void Put(const std::string& path, const std::string& name, RegValue value) {
    keys_[Fold(path)][Fold(name)] = {name, std::move(value)};
  }
  bool HasKey(const std::string& path) const { return keys_.count(Fold(path)) != 0; }
  // The values of a key as "name=type:bytes" lines in name order.
  std::vector<std::string> Values(const std::string& path) const;
  // Every RegSet in order, as "name=type:bytes" (bytes printable, \0 for NUL).
  const std::vector<std::string>& writes() const { return writes_; }
  // Failure injection.
  std::map<std::string, long> fail_open;     // key path -> status
  std::map<std::string, long> fail_query;    // value name -> status
  std::map<std::string, long> fail_set;      // value name -> status
  long fail_create = platform::kErrorSuccess;

  // Directories.
  std::vector<std::string> made_directories;  // every MakeDirectory, in order
  std::vector<std::string> directories;       // those that exist

  // Program files and figures.
  std::map<std::string, std::map<std::string, std::string>> version_records;
  bool memory_ok = true;
  platform::MemoryStatus memory;
  int drive = 3;
  bool disk_ok = true;
  platform::DiskFree disk;
  std::string disk_root_asked;

  long RegOpen(platform::RegRoot root, const std::string& path, platform::RegAccess access,
               platform::RegKey* key) override;
  long RegCreate(platform::RegRoot root, const std::string& path, platform::RegKey* key,
                 platform::RegDisposition* disposition) override;
  long RegQuery(platform::RegKey key, const std::string& name, std::uint32_t* type,
                unsigned char* data, std::uint32_t* size) override;
  long RegSet(platform::RegKey key, const std::string& name, std::uint32_t type,
              const unsigned char* data, std::uint32_t size) override;
  long RegClose(platform::RegKey key) override;
  bool MakeDirectory(const std::string& path) override;
  bool ReadVersionRecord(const std::string& bare_name,
                         std::map<std::string, std::string>* entries) override;
  bool QueryMemory(platform::MemoryStatus* status) override;
  int CurrentDrive() override { return drive; }
  bool QueryDiskFree(const std::string& root, platform::DiskFree* free) override;

  // Open handles left unclosed.
  std::size_t open_keys() const { return handles_.size(); }

 private:
  static std::string Fold(const std::string& text);
  static std::string Show(std::uint32_t type, const std::string& data);

  // folded key path -> folded value name -> (name as written, value)
  std::map<std::string, std::map<std::string, std::pair<std::string, RegValue>>> keys_;
  std::map<platform::RegKey, std::string> handles_;
  platform::RegKey next_handle_ = 1;
  std::vector<std::string> writes_;
  platform::Env* previous_;
};

}  // namespace setwick_test
