// The dialog layer's terminal front end (ncurses). A dialog is laid out from
// its template: a column is 3.5 dialog units and a row 8, each edge rounded
// to the nearest cell, inside a frame that carries the caption. Labels run on
// to the next control on their right and wrap at word boundaries there.
//
// Keys: Tab and Shift-Tab move through the focusable controls in template
// order; Enter presses the focused button, or the default button elsewhere;
// Esc cancels; Space presses a button or checks a radio button; the arrow
// keys move among the radio buttons of a group and move the cursor of an
// edit; Alt-Space or F10 opens the system menu.
#define NCURSES_NOMACROS
#include <curses.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/dialog.h"

namespace platform {

namespace {

constexpr int kEscape = 27;
constexpr int kAltWaitMs = 60;   // how long an Esc waits for the key of Alt-<key>
constexpr int kMessageTextCells = 48;

int XCells(int units) { return (units * 4 + 7) / 14; }  // round(units * 2 / 7)
int YCells(int units) { return (units + 4) / 8; }       // round(units / 8)

// The text without its mnemonic marks ("&&" is one "&").
std::string VisibleText(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// The mnemonic letter of a text, lower case; 0 without one.
int Mnemonic(const std::string& text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (text[i + 1] != '&') {
      const char c = text[i + 1];
      return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
    }
    ++i;
  }
  return 0;
}

// Lines of at most width characters, broken at blanks where possible.
std::vector<std::string> Wrap(const std::string& text, int width) {
  std::vector<std::string> lines;
  if (width <= 0) return lines;
  std::string rest = text;
  const std::size_t w = static_cast<std::size_t>(width);
  while (rest.size() > w) {
    std::size_t cut = rest.rfind(' ', w);
    if (cut == std::string::npos || cut == 0) {
      lines.push_back(rest.substr(0, w));
      rest.erase(0, w);
    } else {
      lines.push_back(rest.substr(0, cut));
      rest.erase(0, cut + 1);
    }
  }
  lines.push_back(rest);
  return lines;
}

struct Control {
  const ControlTemplate* t = nullptr;
  int left = 0, top = 0, right = 0, bottom = 0;  // cells, right and bottom excluded
  int room = 0;  // label, radio button: columns its text may use
  std::string text;
  bool checked = false;
  std::size_t cursor = 0;  // edit
  std::size_t scroll = 0;  // edit: first character shown

  bool Focusable() const {
    if ((t->style & kStyleDisabled) || !(t->style & kStyleTabStop)) return false;
    return t->kind == ControlKind::kEdit || t->kind == ControlKind::kAutoRadioButton ||
           t->kind == ControlKind::kPushButton || t->kind == ControlKind::kDefaultPushButton;
  }
  bool IsButton() const {
    return t->kind == ControlKind::kPushButton || t->kind == ControlKind::kDefaultPushButton;
  }
};

struct MenuItem {
  std::uint32_t command = 0;  // 0: separator
  std::string text;
};

class CursesHost;

// One dialog while it runs.
class RunningDialog final : public DialogWindow {
 public:
  RunningDialog(CursesHost& host, const DialogTemplate& dialog, DialogHandler& handler);

  int Run();
  void Draw() const;

  std::string ItemText(int id) const override {
    const Control* c = Find(id);
    return c ? c->text : std::string();
  }
  void SetItemText(int id, const std::string& text) override {
    if (Control* c = Find(id)) {
      c->text = text;
      c->cursor = c->scroll = 0;
    }
  }
  int CheckedRadio(int first_id) const override {
    const std::vector<int> group = RadioGroup(dialog_, first_id);
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (Find(group[i])->checked) return static_cast<int>(i);
    }
    return -1;
  }
  void CheckRadio(int first_id, int position) override {
    const std::vector<int> group = RadioGroup(dialog_, first_id);
    for (std::size_t i = 0; i < group.size(); ++i) {
      Find(group[i])->checked = static_cast<int>(i) == position;
    }
  }
  void AppendSystemMenuSeparator() override { menu_.push_back({0, ""}); }
  void AppendSystemMenuItem(std::uint32_t command, const std::string& text) override {
    menu_.push_back({command, text});
  }
  // A terminal has no icons to set and the dialog is never minimised.
  void SetIcon(int) override {}

 private:
  Control* Find(int id) const {
    for (const Control& c : controls_) {
      if (c.t->id == id && id != kNoId) return const_cast<Control*>(&c);
    }
    return nullptr;
  }
  void Layout();
  void MoveFocus(int step);
  void MoveInGroup(int step);
  void Check(Control& radio);
  // Handles a key; returns a result to end with, or 0 to go on.
  int HandleKey(int key);
  int Press(const Control& button);
  int SystemMenu();
  int FirstRadioOfGroup(const Control& radio) const;

  CursesHost& host_;
  const DialogTemplate& dialog_;
  DialogHandler& handler_;
  std::vector<Control> controls_;
  std::vector<MenuItem> menu_;
  int focus_ = -1;
  int menu_selected_ = -1;  // open system menu: the selected item
  int width_ = 0, height_ = 0;
};

class CursesHost final : public DialogHost {
 public:
  explicit CursesHost(const ProgramResources& resources) : resources_(resources) {}

  int RunModal(const DialogTemplate& dialog, DialogHandler& handler) override;
  void MessageBox(const std::string& text) override;

  // Draws every open dialog, the top one last; false (with a notice drawn
  // instead) when the top one does not fit the terminal.
  bool DrawAll(int need_width, int need_height);
  const ProgramResources& resources() const { return resources_; }

 private:
  bool Begin();
  void End();

  const ProgramResources& resources_;
  std::vector<const RunningDialog*> open_;
  bool screen_ = false;
};

RunningDialog::RunningDialog(CursesHost& host, const DialogTemplate& dialog,
                             DialogHandler& handler)
    : host_(host), dialog_(dialog), handler_(handler) {
  Layout();
}

void RunningDialog::Layout() {
  width_ = XCells(dialog_.width);
  height_ = YCells(dialog_.height);
  for (const ControlTemplate& t : dialog_.controls) {
    Control c;
    c.t = &t;
    c.left = XCells(t.rect.x);
    c.top = YCells(t.rect.y);
    c.right = std::max(c.left + 1, XCells(t.rect.x + t.rect.width));
    c.bottom = std::max(c.top + 1, YCells(t.rect.y + t.rect.height));
    c.text = t.text;
    controls_.push_back(c);
  }
  // A label or radio button may use the room up to the next control on its
  // right (or the border of the group box around it, or the dialog's edge).
  for (Control& label : controls_) {
    if (label.t->kind != ControlKind::kLabel &&
        label.t->kind != ControlKind::kAutoRadioButton) {
      continue;
    }
    int limit = width_;
    for (const Control& other : controls_) {
      if (&other == &label || other.bottom <= label.top || other.top >= label.bottom) continue;
      if (other.left > label.left) {
        limit = std::min(limit, other.left);
      } else if (other.t->kind == ControlKind::kGroupBox && other.right - 1 > label.left) {
        limit = std::min(limit, other.right - 1);
      }
    }
    label.room = std::max(label.right - label.left, limit - label.left);
  }
  for (std::size_t i = 0; i < controls_.size() && focus_ < 0; ++i) {
    if (controls_[i].Focusable()) focus_ = static_cast<int>(i);
  }
  menu_.push_back({kSysCommandClose, "&Close"});
}

void RunningDialog::Draw() const {
  const int top = (LINES - height_ - 2) / 2;
  const int left = (COLS - width_ - 2) / 2;
  // Frame and caption.
  for (int y = 0; y < height_ + 2; ++y) mvhline(top + y, left, ' ', width_ + 2);
  attron(A_BOLD);
  mvaddch(top, left, '+');
  mvhline(top, left + 1, '-', width_);
  mvaddch(top, left + width_ + 1, '+');
  mvvline(top + 1, left, '|', height_);
  mvvline(top + 1, left + width_ + 1, '|', height_);
  mvaddch(top + height_ + 1, left, '+');
  mvhline(top + height_ + 1, left + 1, '-', width_);
  mvaddch(top + height_ + 1, left + width_ + 1, '+');
  const std::string caption = " " + dialog_.caption + " ";
  mvaddnstr(top, left + 1 + std::max(0, (width_ - static_cast<int>(caption.size())) / 2),
            caption.c_str(), width_);
  if (dialog_.style & kDialogSystemMenu) mvaddstr(top, left + 1, "[-]");
  attroff(A_BOLD);

  const int y0 = top + 1, x0 = left + 1;
  int cursor_y = -1, cursor_x = -1;
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    const Control& c = controls_[i];
    const bool focused = static_cast<int>(i) == focus_;
    const int w = c.right - c.left;
    const int y = y0 + c.top, x = x0 + c.left;
    switch (c.t->kind) {
      case ControlKind::kLabel: {
        const std::string text = (c.t->style & kStyleNoPrefix) ? c.text : VisibleText(c.text);
        const std::vector<std::string> lines = Wrap(text, c.room);
        for (int n = 0; n < static_cast<int>(lines.size()) && n < c.bottom - c.top; ++n) {
          mvaddnstr(y + n, x, lines[n].c_str(), c.room);
        }
        break;
      }
      case ControlKind::kGroupBox: {
        const int h = c.bottom - c.top;
        mvaddch(y, x, '+');
        mvhline(y, x + 1, '-', w - 2);
        mvaddch(y, x + w - 1, '+');
        mvvline(y + 1, x, '|', h - 2);
        mvvline(y + 1, x + w - 1, '|', h - 2);
        mvaddch(y + h - 1, x, '+');
        mvhline(y + h - 1, x + 1, '-', w - 2);
        mvaddch(y + h - 1, x + w - 1, '+');
        mvaddnstr(y, x + 1, VisibleText(c.text).c_str(), w - 2);
        break;
      }
      case ControlKind::kIcon: {
        const int h = c.bottom - c.top;
        mvaddch(y, x, '+');
        mvhline(y, x + 1, '-', w - 2);
        mvaddch(y, x + w - 1, '+');
        for (int n = 1; n < h - 1; ++n) {
          mvaddch(y + n, x, '|');
          mvaddch(y + n, x + w - 1, '|');
        }
        mvaddch(y + h - 1, x, '+');
        mvhline(y + h - 1, x + 1, '-', w - 2);
        mvaddch(y + h - 1, x + w - 1, '+');
        mvaddch(y + h / 2, x + w / 2, '*');
        break;
      }
      case ControlKind::kEdit: {
        const int field = std::max(1, w - 2);
        mvaddch(y, x, '[');
        mvaddch(y, x + w - 1, ']');
        attron(A_UNDERLINE);
        mvhline(y, x + 1, ' ', field);
        const std::string shown =
            c.scroll < c.text.size() ? c.text.substr(c.scroll, field) : std::string();
        mvaddstr(y, x + 1, shown.c_str());
        attroff(A_UNDERLINE);
        if (focused) {
          cursor_y = y;
          cursor_x = x + 1 + static_cast<int>(c.cursor - c.scroll);
        }
        break;
      }
      case ControlKind::kAutoRadioButton: {
        const bool disabled = c.t->style & kStyleDisabled;
        if (disabled) attron(A_DIM);
        if (focused) attron(A_REVERSE);
        const std::string text = (c.checked ? "(*) " : "( ) ") + VisibleText(c.text);
        mvaddnstr(y, x, text.c_str(), c.room);
        attroff(A_DIM | A_REVERSE);
        break;
      }
      case ControlKind::kDefaultPushButton:
      case ControlKind::kPushButton: {
        const std::string label = VisibleText(c.text);
        std::string face(std::max(0, w - 2), ' ');
        const std::size_t at = face.size() > label.size() ? (face.size() - label.size()) / 2 : 0;
        face.replace(at, std::min(label.size(), face.size() - at), label, 0,
                     std::min(label.size(), face.size() - at));
        face = (c.t->kind == ControlKind::kDefaultPushButton ? "<" : "[") + face +
               (c.t->kind == ControlKind::kDefaultPushButton ? ">" : "]");
        if (focused) attron(A_REVERSE);
        if (c.t->kind == ControlKind::kDefaultPushButton) attron(A_BOLD);
        mvaddnstr(y, x, face.c_str(), w);
        attroff(A_REVERSE | A_BOLD);
        break;
      }
    }
  }

  if (menu_selected_ >= 0) {
    int menu_width = 0;
    for (const MenuItem& m : menu_) {
      menu_width = std::max(menu_width, static_cast<int>(VisibleText(m.text).size()));
    }
    menu_width += 4;
    const int my = top + 1, mx = left + 1;
    for (int n = 0; n < static_cast<int>(menu_.size()) + 2; ++n) mvhline(my + n, mx, ' ', menu_width);
    mvaddch(my, mx, '+');
    mvhline(my, mx + 1, '-', menu_width - 2);
    mvaddch(my, mx + menu_width - 1, '+');
    for (int n = 0; n < static_cast<int>(menu_.size()); ++n) {
      const int row = my + 1 + n;
      mvaddch(row, mx, '|');
      mvaddch(row, mx + menu_width - 1, '|');
      if (menu_[n].command == 0) {
        mvhline(row, mx + 1, '-', menu_width - 2);
        continue;
      }
      if (n == menu_selected_) attron(A_REVERSE);
      mvhline(row, mx + 1, ' ', menu_width - 2);
      mvaddstr(row, mx + 2, VisibleText(menu_[n].text).c_str());
      attroff(A_REVERSE);
    }
    const int last = my + 1 + static_cast<int>(menu_.size());
    mvaddch(last, mx, '+');
    mvhline(last, mx + 1, '-', menu_width - 2);
    mvaddch(last, mx + menu_width - 1, '+');
    cursor_y = -1;
  }

  if (cursor_y >= 0) {
    curs_set(1);
    move(cursor_y, cursor_x);
  } else {
    curs_set(0);
  }
}

void RunningDialog::MoveFocus(int step) {
  const int n = static_cast<int>(controls_.size());
  for (int i = 1; i <= n; ++i) {
    const int next = ((focus_ + step * i) % n + n) % n;
    if (controls_[next].Focusable()) {
      focus_ = next;
      return;
    }
  }
}

int RunningDialog::FirstRadioOfGroup(const Control& radio) const {
  int first = kNoId;
  for (const Control& c : controls_) {
    if (c.t->kind == ControlKind::kAutoRadioButton && (c.t->style & kStyleGroup)) first = c.t->id;
    if (&c == &radio) break;
  }
  return first;
}

void RunningDialog::Check(Control& radio) {
  const std::vector<int> group = RadioGroup(dialog_, FirstRadioOfGroup(radio));
  for (int id : group) Find(id)->checked = false;
  radio.checked = true;
}

// Moves to the next enabled radio button of the focused one's group, wrapping
// around, and checks it.
void RunningDialog::MoveInGroup(int step) {
  const std::vector<int> group = RadioGroup(dialog_, FirstRadioOfGroup(controls_[focus_]));
  const int n = static_cast<int>(group.size());
  const int at = static_cast<int>(std::find(group.begin(), group.end(),
                                            controls_[focus_].t->id) - group.begin());
  for (int i = 1; i <= n; ++i) {
    Control* next = Find(group[((at + step * i) % n + n) % n]);
    if (next->Focusable()) {
      focus_ = static_cast<int>(next - controls_.data());
      Check(*next);
      return;
    }
  }
}

int RunningDialog::Press(const Control& button) {
  if (button.t->id == kIdOk) {
    handler_.OnOk(*this);
    return kIdOk;
  }
  return button.t->id == kIdCancel ? kIdCancel : 0;
}

int RunningDialog::SystemMenu() {
  menu_selected_ = 0;
  while (menu_[menu_selected_].command == 0) ++menu_selected_;
  std::uint32_t chosen = 0;
  while (chosen == 0) {
    if (!host_.DrawAll(width_ + 2, height_ + 2)) {
      menu_selected_ = -1;
      return 0;
    }
    const int key = getch();
    const int n = static_cast<int>(menu_.size());
    if (key == KEY_UP || key == KEY_DOWN) {
      const int step = key == KEY_UP ? -1 : 1;
      do {
        menu_selected_ = ((menu_selected_ + step) % n + n) % n;
      } while (menu_[menu_selected_].command == 0);
    } else if (key == '\n' || key == '\r' || key == KEY_ENTER || key == ' ') {
      chosen = menu_[menu_selected_].command;
    } else if (key == kEscape || key == KEY_F(10)) {
      break;
    } else if (key != KEY_RESIZE) {
      for (const MenuItem& m : menu_) {
        if (m.command != 0 && Mnemonic(m.text) == key) chosen = m.command;
      }
    }
  }
  menu_selected_ = -1;
  if (chosen == 0 || handler_.OnSystemCommand(*this, chosen)) return 0;
  return chosen == kSysCommandClose ? kIdCancel : 0;
}

int RunningDialog::HandleKey(int key) {
  Control* focused = focus_ >= 0 ? &controls_[focus_] : nullptr;
  if (key == kEscape) {
    timeout(kAltWaitMs);
    const int next = getch();
    timeout(-1);
    if (next == ERR) return kIdCancel;
    return next == ' ' ? SystemMenu() : 0;
  }
  if (key == KEY_F(10)) return SystemMenu();
  if (key == '\t') {
    MoveFocus(1);
    return 0;
  }
  if (key == KEY_BTAB) {
    MoveFocus(-1);
    return 0;
  }
  if (key == '\n' || key == '\r' || key == KEY_ENTER) {
    if (focused && focused->IsButton()) return Press(*focused);
    for (const Control& c : controls_) {
      if (c.t->kind == ControlKind::kDefaultPushButton) return Press(c);
    }
    return 0;
  }
  if (!focused) return 0;
  if (focused->IsButton()) {
    if (key == ' ') return Press(*focused);
    return 0;
  }
  if (focused->t->kind == ControlKind::kAutoRadioButton) {
    if (key == ' ') Check(*focused);
    if (key == KEY_UP || key == KEY_LEFT) MoveInGroup(-1);
    if (key == KEY_DOWN || key == KEY_RIGHT) MoveInGroup(1);
    return 0;
  }
  // An edit: no length limit, scrolled to keep the cursor in view.
  Control& e = *focused;
  if (key >= 32 && key < 127) {
    e.text.insert(e.cursor++, 1, static_cast<char>(key));
  } else if ((key == KEY_BACKSPACE || key == 127 || key == 8) && e.cursor > 0) {
    e.text.erase(--e.cursor, 1);
  } else if (key == KEY_DC && e.cursor < e.text.size()) {
    e.text.erase(e.cursor, 1);
  } else if (key == KEY_LEFT && e.cursor > 0) {
    --e.cursor;
  } else if (key == KEY_RIGHT && e.cursor < e.text.size()) {
    ++e.cursor;
  } else if (key == KEY_HOME) {
    e.cursor = 0;
  } else if (key == KEY_END) {
    e.cursor = e.text.size();
  }
  const std::size_t field = static_cast<std::size_t>(std::max(1, e.right - e.left - 2));
  if (e.cursor < e.scroll) e.scroll = e.cursor;
  if (e.cursor >= e.scroll + field) e.scroll = e.cursor - field + 1;
  return 0;
}

int RunningDialog::Run() {
  handler_.OnInit(*this);
  for (;;) {
    const bool fits = host_.DrawAll(width_ + 2, height_ + 2);
    const int key = getch();
    if (!fits) {
      if (key == kEscape) return kIdCancel;
      continue;
    }
    if (key == ERR || key == KEY_RESIZE) continue;
    if (const int result = HandleKey(key)) return result;
  }
}

bool CursesHost::DrawAll(int need_width, int need_height) {
  erase();
  if (COLS < need_width || LINES < need_height) {
    char notice[200];
    std::snprintf(notice, sizeof notice,
                  "The terminal is too small for %s: it needs %d x %d characters and has "
                  "%d x %d. Enlarge it, or press Esc to cancel.",
                  resources_.name.c_str(), need_width, need_height, COLS, LINES);
    const std::vector<std::string> lines = Wrap(notice, std::max(1, COLS));
    for (int n = 0; n < static_cast<int>(lines.size()) && n < LINES; ++n) {
      mvaddnstr(n, 0, lines[n].c_str(), COLS);
    }
    curs_set(0);
    refresh();
    return false;
  }
  for (const RunningDialog* d : open_) d->Draw();
  refresh();
  return true;
}

bool CursesHost::Begin() {
  if (!open_.empty()) return true;
  if (!screen_) {
    if (!newterm(nullptr, stdout, stdin)) return false;
    screen_ = true;
    set_escdelay(25);
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
  }
  return true;
}

void CursesHost::End() {
  if (open_.empty() && screen_) {
    erase();
    refresh();
    endwin();
  }
}

int CursesHost::RunModal(const DialogTemplate& dialog, DialogHandler& handler) {
  if (!Begin()) return kIdCancel;
  RunningDialog running(*this, dialog, handler);
  open_.push_back(&running);
  const int result = running.Run();
  open_.pop_back();
  End();
  return result;
}

// A small dialog of its own: the exclamation mark, the text and "OK".
class MessageHandler final : public DialogHandler {
 public:
  void OnInit(DialogWindow&) override {}
};

void CursesHost::MessageBox(const std::string& text) {
  const std::vector<std::string> lines = Wrap(text, kMessageTextCells);
  int text_cells = 0;
  for (const std::string& line : lines) text_cells = std::max(text_cells, static_cast<int>(line.size()));
  const int rows = static_cast<int>(lines.size());
  const int cells = std::max(text_cells + 8, 20);
  // Cells back to dialog units (3.5 a column, 8 a row).
  auto x_units = [](int c) { return (c * 7 + 1) / 2; };
  DialogTemplate box;
  box.caption = resources_.name;
  box.width = x_units(cells);
  box.height = (rows + 4) * 8;
  box.style = kDialogModalFrame | kDialogSystemMenu;
  ControlTemplate mark;
  mark.text = "!";
  mark.rect = {x_units(1), 8, x_units(2), 8};
  mark.style = kStyleNoPrefix;
  ControlTemplate label;
  label.text = text;
  label.rect = {x_units(5), 8, x_units(text_cells + 1), rows * 8};
  label.style = kStyleNoPrefix;
  ControlTemplate ok;
  ok.id = kIdOk;
  ok.kind = ControlKind::kDefaultPushButton;
  ok.text = "OK";
  ok.rect = {x_units((cells - 8) / 2), (rows + 2) * 8, x_units(8), 8};
  ok.style = kStyleTabStop;
  box.controls = {mark, label, ok};
  MessageHandler handler;
  if (RunModal(box, handler) == kIdCancel && !screen_) {
    std::fprintf(stderr, "%s: %s\n", resources_.name.c_str(), text.c_str());
  }
}

}  // namespace

DialogHost& DefaultDialogHost(const ProgramResources& resources) {
  static CursesHost* host = new CursesHost(resources);
  return *host;
}

}  // namespace platform
