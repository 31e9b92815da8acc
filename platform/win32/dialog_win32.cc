// The dialog layer's Win32 front end: each template becomes an in-memory
// DLGTEMPLATE run by DialogBoxIndirectParamA, so the dialog manager does the
// keyboard, the tab order, the groups and the default button as for a
// template from the resources. Texts are single-byte in the ANSI code page.
#include <windows.h>
// The layer's names, not the ANSI macros.
#undef LoadString
#undef MessageBox

#include <vector>

#include "platform/dialog.h"

namespace platform {

namespace {

// Predefined window classes of a DLGITEMTEMPLATE, by atom.
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;

HINSTANCE ProgramInstance() { return GetModuleHandleA(nullptr); }

// The program's icon of that id in the system's large or small size; the
// system's application icon when the program file has none.
HICON LoadProgramIcon(int icon_id, bool small) {
  const int width = GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
  const int height = GetSystemMetrics(small ? SM_CYSMICON : SM_CYICON);
  HANDLE icon = LoadImageA(ProgramInstance(), MAKEINTRESOURCEA(icon_id), IMAGE_ICON,
                           width, height, LR_DEFAULTCOLOR | LR_SHARED);
  if (icon == nullptr) {
    icon = LoadImageA(nullptr, IDI_APPLICATION, IMAGE_ICON, width, height, LR_SHARED);
  }
  return static_cast<HICON>(icon);
}

// A DLGTEMPLATE with its items, built as a sequence of WORDs.
class TemplateBuffer {
 public:
  void Word(WORD value) { words_.push_back(value); }
  void Dword(DWORD value) {
    Word(LOWORD(value));
    Word(HIWORD(value));
  }
  // A zero-terminated UTF-16 string from single-byte text.
  void Text(const std::string& text) {
    if (!text.empty()) {
      const int length = MultiByteToWideChar(CP_ACP, 0, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0);
      std::vector<wchar_t> wide(static_cast<std::size_t>(length));
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                          wide.data(), length);
      for (wchar_t c : wide) Word(static_cast<WORD>(c));
    }
    Word(0);
  }
  // Items start on a DWORD boundary.
  void AlignDword() {
    if (words_.size() % 2 != 0) Word(0);
  }
  const DLGTEMPLATE* Get() const {
    return reinterpret_cast<const DLGTEMPLATE*>(words_.data());
  }

 private:
  std::vector<WORD> words_;
};

DWORD ControlStyle(const ControlTemplate& c) {
  DWORD style = WS_CHILD | WS_VISIBLE;
  if (c.style & kStyleGroup) style |= WS_GROUP;
  if (c.style & kStyleTabStop) style |= WS_TABSTOP;
  if (c.style & kStyleDisabled) style |= WS_DISABLED;
  switch (c.kind) {
    case ControlKind::kDefaultPushButton: return style | BS_DEFPUSHBUTTON;
    case ControlKind::kPushButton: return style | BS_PUSHBUTTON;
    case ControlKind::kEdit:
      if (c.style & kStyleBorder) style |= WS_BORDER;
      if (c.style & kStyleAutoHScroll) style |= ES_AUTOHSCROLL;
      return style | ES_LEFT;
    case ControlKind::kLabel:
      if (c.style & kStyleNoPrefix) style |= SS_NOPREFIX;
      return style | SS_LEFT;
    case ControlKind::kGroupBox: return style | BS_GROUPBOX;
    case ControlKind::kAutoRadioButton: return style | BS_AUTORADIOBUTTON;
    case ControlKind::kIcon: return style | SS_ICON;
  }
  return style;
}

WORD ControlClass(ControlKind kind) {
  switch (kind) {
    case ControlKind::kEdit: return kEditClass;
    case ControlKind::kLabel:
    case ControlKind::kIcon: return kStaticClass;
    case ControlKind::kDefaultPushButton:
    case ControlKind::kPushButton:
    case ControlKind::kGroupBox:
    case ControlKind::kAutoRadioButton: break;
  }
  return kButtonClass;
}

// The template has no position: the dialog is centred.
void BuildTemplate(const DialogTemplate& dialog, TemplateBuffer* out) {
  DWORD style = WS_POPUP | WS_CAPTION | DS_CENTER;
  if (dialog.style & kDialogModalFrame) style |= DS_MODALFRAME;
  if (dialog.style & kDialogSystemMenu) style |= WS_SYSMENU;
  if (!dialog.font_name.empty()) style |= DS_SETFONT;
  out->Dword(style);
  out->Dword(dialog.style & kDialogAppWindow ? WS_EX_APPWINDOW : 0);
  out->Word(static_cast<WORD>(dialog.controls.size()));
  out->Word(0);  // x
  out->Word(0);  // y
  out->Word(static_cast<WORD>(dialog.width));
  out->Word(static_cast<WORD>(dialog.height));
  out->Word(0);  // no menu
  out->Word(0);  // the dialog class
  out->Text(dialog.caption);
  if (!dialog.font_name.empty()) {
    out->Word(static_cast<WORD>(dialog.font_points));
    out->Text(dialog.font_name);
  }
  for (const ControlTemplate& c : dialog.controls) {
    out->AlignDword();
    out->Dword(ControlStyle(c));
    out->Dword(0);  // extended style
    out->Word(static_cast<WORD>(c.rect.x));
    out->Word(static_cast<WORD>(c.rect.y));
    out->Word(static_cast<WORD>(c.rect.width));
    out->Word(static_cast<WORD>(c.rect.height));
    out->Word(static_cast<WORD>(c.id));  // kNoId is 0xFFFF, as IDC_STATIC
    out->Word(0xFFFF);
    out->Word(ControlClass(c.kind));
    // An icon's image is set once the dialog exists (STM_SETICON), so that
    // a program file without it still gets its dialog.
    out->Text(c.kind == ControlKind::kIcon ? std::string() : c.text);
    out->Word(0);  // no creation data
  }
}

// One dialog while it runs; the dialog procedure finds it in DWLP_USER.
class RunningDialog final : public DialogWindow {
 public:
  RunningDialog(const DialogTemplate& dialog, DialogHandler& handler)
      : dialog_(dialog), handler_(handler) {}

  INT_PTR Message(HWND hwnd, UINT message, WPARAM wparam);
  void Init(HWND hwnd);
  HWND window() const { return hwnd_; }

  std::string ItemText(int id) const override {
    HWND item = GetDlgItem(hwnd_, id);
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(item)) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextA(item, text.data(), static_cast<int>(text.size()))));
    return text;
  }
  void SetItemText(int id, const std::string& text) override {
    SetDlgItemTextA(hwnd_, id, text.c_str());
  }
  int CheckedRadio(int first_id) const override {
    const std::vector<int> group = RadioGroup(dialog_, first_id);
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (IsDlgButtonChecked(hwnd_, group[i]) == BST_CHECKED) return static_cast<int>(i);
    }
    return -1;
  }
  void CheckRadio(int first_id, int position) override {
    const std::vector<int> group = RadioGroup(dialog_, first_id);
    for (std::size_t i = 0; i < group.size(); ++i) {
      CheckDlgButton(hwnd_, group[i],
                     static_cast<int>(i) == position ? BST_CHECKED : BST_UNCHECKED);
    }
  }
  void AppendSystemMenuSeparator() override {
    AppendMenuA(GetSystemMenu(hwnd_, FALSE), MF_SEPARATOR, 0, nullptr);
  }
  void AppendSystemMenuItem(std::uint32_t command, const std::string& text) override {
    AppendMenuA(GetSystemMenu(hwnd_, FALSE), MF_STRING, command, text.c_str());
  }
  void SetIcon(int icon_id) override {
    icon_ = LoadProgramIcon(icon_id, false);
    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(LoadProgramIcon(icon_id, true)));
  }

 private:
  bool PaintMinimised();
  bool CheckClickedRadio(int id);

  const DialogTemplate& dialog_;
  DialogHandler& handler_;
  HWND hwnd_ = nullptr;
  HICON icon_ = nullptr;  // the large icon, painted while minimised
};

void RunningDialog::Init(HWND hwnd) {
  hwnd_ = hwnd;
  // The controls' windows follow template order; an icon control has no id
  // of its own to be found by.
  HWND item = GetWindow(hwnd_, GW_CHILD);
  for (const ControlTemplate& c : dialog_.controls) {
    if (item == nullptr) break;
    if (c.kind == ControlKind::kIcon) {
      SendMessageA(item, STM_SETICON,
                   reinterpret_cast<WPARAM>(LoadProgramIcon(c.icon_id, false)), 0);
    }
    item = GetWindow(item, GW_HWNDNEXT);
  }
  handler_.OnInit(*this);
}

// An automatic radio button unchecks the others of its group when it is
// clicked, but passes over disabled ones: a disabled button checked from the
// settings would stay checked beside the clicked one. The clicked button is
// the one left checked, whatever the others' state.
bool RunningDialog::CheckClickedRadio(int id) {
  const std::vector<int> group = RadioGroupOf(dialog_, id);
  for (int member : group) {
    CheckDlgButton(hwnd_, member, member == id ? BST_CHECKED : BST_UNCHECKED);
  }
  return !group.empty();
}

// Draws the icon centred in the client area of the minimised dialog.
bool RunningDialog::PaintMinimised() {
  if (!IsIconic(hwnd_) || icon_ == nullptr) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd_, &client);
  const DialogRect place =
      MinimisedIconPlace(client.right - client.left, client.bottom - client.top,
                         GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  DrawIcon(dc, place.x, place.y, icon_);
  EndPaint(hwnd_, &paint);
  return true;
}

INT_PTR RunningDialog::Message(HWND hwnd, UINT message, WPARAM wparam) {
  switch (message) {
    case WM_COMMAND:
      // Enter presses the default button (kIdOk); Esc, Cancel and closing
      // the dialog come as kIdCancel.
      if (LOWORD(wparam) == kIdOk) {
        handler_.OnOk(*this);
        EndDialog(hwnd, kIdOk);
        return TRUE;
      }
      if (LOWORD(wparam) == kIdCancel) {
        EndDialog(hwnd, kIdCancel);
        return TRUE;
      }
      if (HIWORD(wparam) == BN_CLICKED) return CheckClickedRadio(LOWORD(wparam)) ? TRUE : FALSE;
      return FALSE;
    case WM_SYSCOMMAND:
      return handler_.OnSystemCommand(*this, static_cast<std::uint32_t>(wparam)) ? TRUE
                                                                                   : FALSE;
    case WM_PAINT:
      return PaintMinimised() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK DialogProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    auto* running = reinterpret_cast<RunningDialog*>(lparam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lparam);
    running->Init(hwnd);
    return TRUE;  // the first tab stop takes the focus
  }
  auto* running = reinterpret_cast<RunningDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  return running != nullptr ? running->Message(hwnd, message, wparam) : FALSE;
}

class Win32DialogHost final : public DialogHost {
 public:
  explicit Win32DialogHost(const ProgramResources& resources) : resources_(resources) {}

  int RunModal(const DialogTemplate& dialog, DialogHandler& handler) override {
    TemplateBuffer buffer;
    BuildTemplate(dialog, &buffer);
    RunningDialog running(dialog, handler);
    HWND owner = Owner();
    running_.push_back(&running);
    const INT_PTR result =
        DialogBoxIndirectParamA(ProgramInstance(), buffer.Get(), owner, DialogProcedure,
                                reinterpret_cast<LPARAM>(&running));
    running_.pop_back();
    return result == kIdOk ? kIdOk : kIdCancel;
  }

  void MessageBox(const std::string& text) override {
    MessageBoxA(Owner(), text.c_str(), resources_.name.c_str(),
                MB_OK | MB_ICONEXCLAMATION);
  }

 private:
  // The innermost running dialog, if any: a new dialog or message box is
  // modal to it.
  HWND Owner() const { return running_.empty() ? nullptr : running_.back()->window(); }

  const ProgramResources& resources_;
  std::vector<const RunningDialog*> running_;
};

}  // namespace

DialogHost& DefaultDialogHost(const ProgramResources& resources) {
  static Win32DialogHost* host = new Win32DialogHost(resources);
  return *host;
}

}  // namespace platform
