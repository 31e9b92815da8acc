#include "tests/config/scripted_dialogs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace setwick_test {

ScriptedWindow::ScriptedWindow(const platform::DialogTemplate& dialog,
                               platform::DialogHandler& handler)
    : dialog_(dialog), handler_(handler) {
  for (const platform::ControlTemplate& c : dialog.controls) {
    if (c.id == platform::kNoId) continue;
    texts_[c.id] = c.text;
    if (c.kind == platform::ControlKind::kAutoRadioButton) checked_[c.id] = false;
  }
}

std::string ScriptedWindow::ItemText(int id) const {
  auto it = texts_.find(id);
  EXPECT_NE(it, texts_.end()) << "no control " << id;
  return it == texts_.end() ? std::string() : it->second;
}

void ScriptedWindow::SetItemText(int id, const std::string& text) {
  EXPECT_EQ(texts_.count(id), 1u) << "no control " << id;
  texts_[id] = text;
}

int ScriptedWindow::CheckedRadio(int first_id) const {
  const std::vector<int> group = platform::RadioGroup(dialog_, first_id);
  EXPECT_FALSE(group.empty()) << "no radio group at " << first_id;
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (checked_.at(group[i])) return static_cast<int>(i);
  }
  return -1;
}

void ScriptedWindow::CheckRadio(int first_id, int position) {
  const std::vector<int> group = platform::RadioGroup(dialog_, first_id);
  EXPECT_FALSE(group.empty()) << "no radio group at " << first_id;
  for (std::size_t i = 0; i < group.size(); ++i) {
    checked_[group[i]] = static_cast<int>(i) == position;
  }
}

void ScriptedWindow::AppendSystemMenuSeparator() { menu_.push_back("-"); }

void ScriptedWindow::AppendSystemMenuItem(std::uint32_t command, const std::string& text) {
  menu_.push_back(std::to_string(command) + ":" + text);
}

void ScriptedWindow::Type(int id, const std::string& text) {
  for (const platform::ControlTemplate& c : dialog_.controls) {
    if (c.id == id) {
      ASSERT_EQ(c.kind, platform::ControlKind::kEdit);
      texts_[id] = text;
      return;
    }
  }
  ADD_FAILURE() << "no edit " << id;
}

void ScriptedWindow::Click(int radio_id) {
  int first = platform::kNoId;
  for (const platform::ControlTemplate& c : dialog_.controls) {
    if (c.kind == platform::ControlKind::kAutoRadioButton && (c.style & platform::kStyleGroup)) {
      first = c.id;
    }
    if (c.id != radio_id) continue;
    ASSERT_EQ(c.kind, platform::ControlKind::kAutoRadioButton);
    if (c.style & platform::kStyleDisabled) return;
    for (int id : platform::RadioGroup(dialog_, first)) checked_[id] = id == radio_id;
    return;
  }
  ADD_FAILURE() << "no radio button " << radio_id;
}

int ScriptedWindow::PressOk() {
  handler_.OnOk(*this);
  return platform::kIdOk;
}

int ScriptedWindow::SystemCommand(std::uint32_t command) {
  if (handler_.OnSystemCommand(*this, command)) return 0;
  return (command & platform::kSysCommandMask) == platform::kSysCommandClose ? platform::kIdCancel
                                                                             : 0;
}

int ScriptedHost::RunModal(const platform::DialogTemplate& dialog,
                           platform::DialogHandler& handler) {
  events_.push_back("dialog " + std::to_string(dialog.id));
  if (scripts_.empty()) {
    ADD_FAILURE() << "unexpected dialog " << dialog.id;
    return platform::kIdCancel;
  }
  Script script = std::move(scripts_.front());
  scripts_.pop_front();
  ScriptedWindow window(dialog, handler);
  handler.OnInit(window);
  return script(window);
}

std::vector<std::string> ScriptedHost::boxes() const {
  std::vector<std::string> out;
  for (const std::string& e : events_) {
    if (e.rfind("box: ", 0) == 0) out.push_back(e.substr(5));
  }
  return out;
}

int Cancel(ScriptedWindow&) { return platform::kIdCancel; }
int PressOk(ScriptedWindow& window) { return window.PressOk(); }

RegValue Sz(const std::string& text) { return {platform::kRegSz, text + std::string(1, '\0')}; }

FakeMachine::FakeMachine() : platform::EnvWrapper(platform::Env::Default()) {
  previous_ = platform::SetEnv(this);
}

FakeMachine::~FakeMachine() { platform::SetEnv(previous_ == platform::Env::Default() ? nullptr : previous_); }

std::string FakeMachine::Fold(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string FakeMachine::Show(std::uint32_t type, const std::string& data) {
  std::string out = std::to_string(type) + ":";
  for (unsigned char c : data) {
    if (c == 0) {
      out += "\\0";
    } else if (c < 32 || c > 126) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::vector<std::string> FakeMachine::Values(const std::string& path) const {
  std::vector<std::string> out;
  auto key = keys_.find(Fold(path));
  if (key == keys_.end()) return out;
  for (const auto& [folded, entry] : key->second) {
    out.push_back(entry.first + "=" + Show(entry.second.type, entry.second.data));
  }
  return out;
}

long FakeMachine::RegOpen(platform::RegRoot, const std::string& path, platform::RegAccess,
                          platform::RegKey* key) {
  auto failure = fail_open.find(path);
  if (failure != fail_open.end()) return failure->second;
  if (!HasKey(path)) return platform::kErrorFileNotFound;
  *key = next_handle_++;
  handles_[*key] = Fold(path);
  return platform::kErrorSuccess;
}

long FakeMachine::RegCreate(platform::RegRoot, const std::string& path, platform::RegKey* key,
                            platform::RegDisposition* disposition) {
  if (fail_create != platform::kErrorSuccess) return fail_create;
  *disposition = HasKey(path) ? platform::RegDisposition::kOpenedExistingKey
                              : platform::RegDisposition::kCreatedNewKey;
  AddKey(path);
  *key = next_handle_++;
  handles_[*key] = Fold(path);
  return platform::kErrorSuccess;
}

long FakeMachine::RegQuery(platform::RegKey key, const std::string& name, std::uint32_t* type,
                           unsigned char* data, std::uint32_t* size) {
  EXPECT_EQ(handles_.count(key), 1u) << "query on a closed key";
  auto failure = fail_query.find(name);
  if (failure != fail_query.end()) return failure->second;
  const auto& values = keys_[handles_[key]];
  auto it = values.find(Fold(name));
  if (it == values.end()) return platform::kErrorFileNotFound;
  const RegValue& value = it->second.second;
  const std::uint32_t needed = static_cast<std::uint32_t>(value.data.size());
  if (needed > *size) {
    std::memset(data, 'X', *size);  // unspecified contents
    *size = needed;
    return platform::kErrorMoreData;
  }
  std::memcpy(data, value.data.data(), needed);
  *size = needed;
  if (type) *type = value.type;
  return platform::kErrorSuccess;
}

long FakeMachine::RegSet(platform::RegKey key, const std::string& name, std::uint32_t type,
                         const unsigned char* data, std::uint32_t size) {
  EXPECT_EQ(handles_.count(key), 1u) << "write to a closed key";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  writes_.push_back(name + "=" + Show(type, bytes));
  auto failure = fail_set.find(name);
  if (failure != fail_set.end()) return failure->second;
  keys_[handles_[key]][Fold(name)] = {name, RegValue{type, bytes}};
  return platform::kErrorSuccess;
}

long FakeMachine::RegClose(platform::RegKey key) {
  EXPECT_EQ(handles_.erase(key), 1u) << "closing a key that is not open";
  return platform::kErrorSuccess;
}

bool FakeMachine::MakeDirectory(const std::string& path) {
  made_directories.push_back(path);
  for (const std::string& d : directories) {
    if (d == path) {
      SetLastErrorCode(platform::kErrorAlreadyExists);
      return false;
    }
  }
  directories.push_back(path);
  return true;
}

bool FakeMachine::ReadVersionRecord(const std::string& bare_name,
                                    std::map<std::string, std::string>* entries) {
  auto it = version_records.find(bare_name);
  if (it == version_records.end()) {
    SetLastErrorCode(platform::kErrorFileNotFound);
    return false;
  }
  *entries = it->second;
  return true;
}

bool FakeMachine::QueryMemory(platform::MemoryStatus* status) {
  if (memory_ok) *status = memory;
  return memory_ok;
}

bool FakeMachine::QueryDiskFree(const std::string& root, platform::DiskFree* free) {
  disk_root_asked = root;
  if (disk_ok) *free = disk;
  return disk_ok;
}

}  // namespace setwick_test
