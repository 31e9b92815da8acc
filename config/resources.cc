#include "config/resources.h"

namespace setwick {

namespace {

using platform::ControlKind;
using platform::ControlTemplate;
using platform::DialogTemplate;
using platform::kNoId;

constexpr std::uint32_t kEditStyle =
    platform::kStyleBorder | platform::kStyleAutoHScroll | platform::kStyleTabStop;
constexpr std::uint32_t kButtonStyle = platform::kStyleTabStop;

ControlTemplate Control(int id, ControlKind kind, const char* text, int x, int y,
                        int width, int height, std::uint32_t style = 0) {
  ControlTemplate c;
  c.id = id;
  c.kind = kind;
  c.text = text;
  c.rect = {x, y, width, height};
  c.style = style;
  return c;
}

DialogTemplate MakeSettingsTemplate() {
  DialogTemplate d;
  d.id = kSettingsDialogId;
  d.caption = "Setwick";
  d.font_name = "MS Sans Serif";
  d.font_points = 8;
  d.width = 266;
  d.height = 172;
  d.style = platform::kDialogModalFrame | platform::kDialogSystemMenu |
            platform::kDialogAppWindow;
  const ControlKind label = ControlKind::kLabel;
  const ControlKind edit = ControlKind::kEdit;
  const ControlKind radio = ControlKind::kAutoRadioButton;
  d.controls = {
      Control(platform::kIdOk, ControlKind::kDefaultPushButton, "OK", 209, 129, 50, 14,
              kButtonStyle),
      Control(platform::kIdCancel, ControlKind::kPushButton, "Cancel", 209, 151, 50, 14,
              kButtonStyle),
      Control(kLocalDomainEdit, edit, "", 7, 28, 121, 15, kEditStyle),
      Control(kLocalServerEdit, edit, "", 7, 59, 121, 14, kEditStyle),
      Control(kPopServerEdit, edit, "", 7, 89, 121, 14, kEditStyle),
      Control(kPopNameEdit, edit, "", 7, 119, 121, 14, kEditStyle),
      // The password is shown in clear.
      Control(kPopPassEdit, edit, "", 7, 151, 121, 14, kEditStyle),
      Control(kNoId, label, "Your domain name to which internet mail will be addressed:",
              7, 10, 106, 16),
      Control(kNoId, label, "Local host running Exchange Server:", 7, 50, 110, 8),
      Control(kNoId, label, "Pop3 host name: (at your ISP)", 7, 80, 106, 8),
      Control(kNoId, label, "Pop account name: (at your ISP)", 7, 110, 107, 8),
      Control(kNoId, label, "Pop account password: (at your ISP)", 7, 140, 117, 8),
      Control(kNoId, label, "Push \"OK\" to save configuration and exit.", 209, 92, 50, 34),
      Control(kSetwickVersionLabel, label, "Not Found", 176, 58, 51, 8),
      Control(kQuillonVersionLabel, label, "Not Found", 176, 69, 50, 8),
      Control(kNoId, ControlKind::kGroupBox, "Product Information", 131, 10, 128, 79),
      Control(kNoId, label, "Setwick:", 140, 58, 32, 8),
      Control(kNoId, label, "Quillon:", 140, 69, 33, 8),
      // One group from 1012 to the end; "0 - None" can never be chosen.
      Control(kLogLevelFirstRadio, radio, "0 - None", 135, 108, 45, 10,
              platform::kStyleGroup | platform::kStyleDisabled | platform::kStyleTabStop),
      Control(1013, radio, "1 - Log", 135, 121, 34, 10, platform::kStyleTabStop),
      Control(1014, radio, "2 - Log/Archive", 135, 134, 67, 10, platform::kStyleTabStop),
      Control(kNoId, ControlKind::kGroupBox, "Log Level", 131, 91, 74, 74),
      Control(1016, radio, "3 - Full", 135, 147, 39, 10, platform::kStyleTabStop),
  };
  return d;
}

DialogTemplate MakeAboutTemplate() {
  DialogTemplate d;
  d.id = kAboutDialogId;
  d.caption = "About Setwick";
  d.font_name = "MS Sans Serif";
  d.font_points = 8;
  d.width = 199;
  d.height = 85;
  d.style = platform::kDialogModalFrame | platform::kDialogSystemMenu;
  ControlTemplate icon = Control(kNoId, ControlKind::kIcon, "", 11, 17, 20, 20);
  icon.icon_id = kProgramIcon;
  d.controls = {
      icon,
      Control(kNoId, ControlKind::kLabel, "Setwick Version 1.2.7.0", 40, 10, 83, 8,
              platform::kStyleNoPrefix),
      Control(platform::kIdOk, ControlKind::kDefaultPushButton, "OK", 160, 7, 32, 14,
              kButtonStyle),
      Control(kMemoryLabel, ControlKind::kLabel, "Memory", 90, 45, 93, 8),
      Control(kDiskLabel, ControlKind::kLabel, "Disk Space", 90, 59, 92, 8),
      Control(kNoId, ControlKind::kLabel, "Physical Memory:", 21, 45, 54, 8),
      Control(kNoId, ControlKind::kLabel, "Disk Space:", 22, 59, 57, 8),
  };
  return d;
}

}  // namespace

const platform::ProgramResources& Resources() {
  static const platform::ProgramResources resources{
      "Setwick",
      kProgramIcon,
      {
          {kAboutMenuString, "&About Setwick..."},
          {kMemoryFormatString, "%lu KB"},
          {kDiskFormatString, "%lu KB Free on %c:"},
          {kDiskUnavailableString, "Unavailable"},
      }};
  return resources;
}

const platform::DialogTemplate& SettingsTemplate() {
  static const DialogTemplate dialog = MakeSettingsTemplate();
  return dialog;
}

const platform::DialogTemplate& AboutTemplate() {
  static const DialogTemplate dialog = MakeAboutTemplate();
  return dialog;
}

}  // namespace setwick
