#include "tests/support/machine_root.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

namespace testing_support {

namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// Decodes one JSON string starting at text[pos] == '"'; code points up to
// U+00FF become the byte of the same value.
std::string JsonString(const std::string& text, std::size_t& pos) {
  std::u32string points;
  ++pos;
  while (pos < text.size() && text[pos] != '"') {
    unsigned char c = static_cast<unsigned char>(text[pos]);
    if (c == '\\') {
      char e = text[pos + 1];
      pos += 2;
      switch (e) {
        case 'n': points.push_back('\n'); break;
        case 'r': points.push_back('\r'); break;
        case 't': points.push_back('\t'); break;
        case 'b': points.push_back('\b'); break;
        case 'f': points.push_back('\f'); break;
        case 'u':
          points.push_back(static_cast<char32_t>(std::stoul(text.substr(pos, 4), nullptr, 16)));
          pos += 4;
          break;
        default: points.push_back(static_cast<unsigned char>(e)); break;
      }
    } else if (c >= 0xC0 && c < 0xE0) {
      points.push_back(((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[pos + 1]) & 0x3Fu));
      pos += 2;
    } else {
      points.push_back(c);
      ++pos;
    }
  }
  ++pos;
  std::string bytes;
  for (char32_t p : points) bytes.push_back(static_cast<char>(p));
  return bytes;
}

}  // namespace

MachineRoot::MachineRoot() {
  std::random_device random;
  root_ = std::filesystem::temp_directory_path() /
          ("tallowmere-root-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(root_);
}

MachineRoot::~MachineRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void MachineRoot::MakeSpool() const {
  for (const char* dir : {"in", "out", "Archive"}) {
    std::filesystem::create_directories(spool() / dir);
  }
}

void MachineRoot::WriteSettings(const std::map<std::string, std::string>& values) const {
  std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tallowmere\\1.0]\n";
  for (const auto& [name, value] : values) text += Quoted(name) + "=" + Quoted(value) + "\n";
  WriteFileBytes(root_ / "registry.reg", text);
}

void MachineRoot::WriteDefaultSettings(const std::string& popserver,
                                       const std::string& localserver,
                                       const std::string& loglevel) const {
  WriteSettings({{"localdomain", "example.com"},
                 {"localserver", localserver},
                 {"popserver", popserver},
                 {"popname", "site"},
                 {"poppass", "secret"},
                 {"installdir", (root_ / "install").string()},
                 {"exchangedir", exchangedir().string()},
                 {"loglevel", loglevel}});
}

void MachineRoot::AddSetting(const std::string& name, const std::string& value) const {
  // The settings key is the file's only section: a line at the end is in it.
  WriteFileBytes(root_ / "registry.reg",
                 ReadFileBytes(root_ / "registry.reg") + Quoted(name) + "=" + Quoted(value) + "\n");
}

std::vector<LoggedEvent> MachineRoot::Events() const {
  std::vector<LoggedEvent> events;
  std::istringstream lines(ReadFileBytes(root_ / "eventlog" / "Application.jsonl"));
  std::string line;
  while (std::getline(lines, line)) {
    LoggedEvent event;
    std::size_t time = line.find("\"time\":");
    if (time != std::string::npos) {
      std::size_t pos = time + 7;
      event.time = JsonString(line, pos);
    }
    std::size_t type = line.find("\"type\":");
    if (type != std::string::npos) {
      std::size_t pos = type + 7;
      event.type = JsonString(line, pos);
    }
    std::size_t strings = line.find("\"strings\":[");
    if (strings != std::string::npos) {
      std::size_t pos = strings + 11;
      while (pos < line.size() && line[pos] == '"') {
        event.strings.push_back(JsonString(line, pos));
        if (pos < line.size() && line[pos] == ',') ++pos;
      }
    }
    events.push_back(event);
  }
  return events;
}

std::vector<std::string> MachineRoot::EventMessages() const {
  std::vector<std::string> messages;
  for (const LoggedEvent& e : Events()) messages.push_back(e.message());
  return messages;
}

std::string MachineRoot::EnvironmentEntry() const {
  return "TALLOWMERE_ROOT=" + root_.string();
}

std::vector<std::string> DirectoryNames(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int Occurrences(const std::string& text, const std::string& piece) {
  int count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

std::string ReadFileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

std::vector<std::string> FastClockEnvironment() {
  return {"LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
          "FAKETIME=+0 x100"};
}

}  // namespace testing_support
