// The dialog layer: modal dialogs described by templates, message boxes and
// the program's resources, for a dialog program written once over a front
// end of each platform (Win32 dialogs, a terminal dialog on POSIX, or a
// scripted front end in tests).
//
// A template is plain data. Its controls stand in template order, which is
// also the tab order and the group order: a control with kStyleGroup starts a
// group that runs up to the next group start or the end of the template.
// Positions are dialog units.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

// Results of a modal run.
enum : int { kIdOk = 1, kIdCancel = 2 };
// The id of controls that are never addressed (labels, group boxes, icons).
inline constexpr int kNoId = -1;

// System-menu commands. A front end may set the lowest four bits of a
// command id for its own use, so handlers compare id & kSysCommandMask.
inline constexpr std::uint32_t kSysCommandMask = 0xFFF0;
inline constexpr std::uint32_t kSysCommandClose = 0xF060;

enum class ControlKind {
  kDefaultPushButton,
  kPushButton,
  kEdit,
  kLabel,
  kGroupBox,
  kAutoRadioButton,
  kIcon,  // text unused; shows the icon resource icon_id
};

enum ControlStyle : std::uint32_t {
  kStyleGroup = 1u << 0,          // starts a group
  kStyleTabStop = 1u << 1,        // reached by Tab
  kStyleDisabled = 1u << 2,       // takes no input and no focus
  kStyleBorder = 1u << 3,         // edit with a border
  kStyleAutoHScroll = 1u << 4,    // edit scrolls horizontally, no length limit
  kStyleNoPrefix = 1u << 5,       // label shows "&" as itself
};

enum DialogStyle : std::uint32_t {
  kDialogModalFrame = 1u << 0,
  kDialogSystemMenu = 1u << 1,
  kDialogAppWindow = 1u << 2,  // shown in the task bar
};

struct DialogRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct ControlTemplate {
  int id = kNoId;
  ControlKind kind = ControlKind::kLabel;
  std::string text;  // "&" marks a mnemonic unless kStyleNoPrefix
  DialogRect rect;
  std::uint32_t style = 0;
  int icon_id = 0;  // kIcon only
};

struct DialogTemplate {
  int id = 0;  // resource id
  std::string caption;
  std::string font_name;
  int font_points = 0;
  int width = 0;
  int height = 0;
  std::uint32_t style = 0;
  std::vector<ControlTemplate> controls;
};

// What the program supplies besides its templates: its name (the title of
// every message box), its string table and its icon.
struct ProgramResources {
  std::string name;
  int icon_id = 0;
  std::map<int, std::string> strings;

  // The string of that id; empty when there is none.
  std::string LoadString(int id) const {
    auto it = strings.find(id);
    return it == strings.end() ? std::string() : it->second;
  }
};

// The ids of the radio buttons in the group that starts at first_id, in
// template order (other kinds inside the group are passed over). Empty when
// first_id is not a radio button.
inline std::vector<int> RadioGroup(const DialogTemplate& dialog, int first_id) {
  std::vector<int> ids;
  bool inside = false;
  for (const ControlTemplate& c : dialog.controls) {
    if (inside && (c.style & kStyleGroup)) break;
    if (c.id == first_id && c.kind == ControlKind::kAutoRadioButton) inside = true;
    if (inside && c.kind == ControlKind::kAutoRadioButton) ids.push_back(c.id);
  }
  return ids;
}

// The ids of the radio buttons in the group that holds the radio button id,
// in template order, disabled ones included. Empty when id is not a radio
// button.
inline std::vector<int> RadioGroupOf(const DialogTemplate& dialog, int id) {
  std::vector<int> ids;
  bool found = false;
  for (const ControlTemplate& c : dialog.controls) {
    if (c.style & kStyleGroup) {
      if (found) break;
      ids.clear();
    }
    if (c.kind != ControlKind::kAutoRadioButton) continue;
    ids.push_back(c.id);
    found = found || c.id == id;
  }
  return found ? ids : std::vector<int>{};
}

// Where a minimised dialog paints its icon: centred in the client area.
inline DialogRect MinimisedIconPlace(int client_width, int client_height,
                                     int icon_width, int icon_height) {
  return {(client_width - icon_width + 1) / 2,
          (client_height - icon_height + 1) / 2, icon_width, icon_height};
}

// A dialog while it runs, as its handler sees it.
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;
  virtual std::string ItemText(int id) const = 0;
  virtual void SetItemText(int id, const std::string& text) = 0;
  // The position of the checked button in the radio group that starts at
  // first_id, -1 when none is checked.
  virtual int CheckedRadio(int first_id) const = 0;
  // Checks the button at that position and clears the others; a position
  // outside the group clears them all.
  virtual void CheckRadio(int first_id, int position) = 0;
  virtual void AppendSystemMenuSeparator() = 0;
  virtual void AppendSystemMenuItem(std::uint32_t command,
                                    const std::string& text) = 0;
  // The dialog's large and small icon. While minimised, a front end that can
  // minimise paints it at MinimisedIconPlace and drags it.
  virtual void SetIcon(int icon_id) = 0;
};

// The program's side of a dialog.
class DialogHandler {
 public:
  virtual ~DialogHandler() = default;
  // The window and its controls exist, filled from the template.
  virtual void OnInit(DialogWindow& window) = 0;
  // "OK" (or Enter on the default button) was pressed; the dialog ends with
  // kIdOk after this returns, and the controls can still be read.
  virtual void OnOk(DialogWindow&) {}
  // A system-menu command (the front end's own bits included). False leaves
  // it to the default handling: kSysCommandClose ends the dialog with
  // kIdCancel.
  virtual bool OnSystemCommand(DialogWindow&, std::uint32_t) { return false; }
};

// A front end.
class DialogHost {
 public:
  virtual ~DialogHost() = default;
  // Runs the dialog modally (above the one running, if any) and returns
  // kIdOk or kIdCancel. Cancel, Esc and closing the dialog give kIdCancel.
  virtual int RunModal(const DialogTemplate& dialog, DialogHandler& handler) = 0;
  // A modal box with the text, an "OK" button, the exclamation icon and the
  // program's name as title.
  virtual void MessageBox(const std::string& text) = 0;
};

// The front end of this build for the program described by resources (which
// must outlive it). Never destroyed.
DialogHost& DefaultDialogHost(const ProgramResources& resources);

}  // namespace platform
