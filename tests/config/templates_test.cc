// The two dialog templates, control by control in template order.
#include <gtest/gtest.h>

#include <sstream>

#include "config/resources.h"

namespace setwick_test {
namespace {

using platform::ControlKind;

std::string Describe(const platform::ControlTemplate& c) {
  static const char* const kinds[] = {"defbutton", "button", "edit", "label",
                                      "groupbox",  "radio",  "icon"};
  std::ostringstream out;
  out << c.id << " " << kinds[static_cast<int>(c.kind)] << " \"" << c.text << "\" " << c.rect.x
      << "," << c.rect.y << "," << c.rect.width << "," << c.rect.height;
  if (c.style & platform::kStyleGroup) out << " group";
  if (c.style & platform::kStyleDisabled) out << " disabled";
  if (c.style & platform::kStyleBorder) out << " border";
  if (c.style & platform::kStyleAutoHScroll) out << " hscroll";
  if (c.style & platform::kStyleNoPrefix) out << " noprefix";
  if (c.kind == ControlKind::kIcon) out << " icon" << c.icon_id;
  return out.str();
}

std::vector<std::string> Describe(const platform::DialogTemplate& d) {
  std::vector<std::string> out;
  for (const platform::ControlTemplate& c : d.controls) out.push_back(Describe(c));
  return out;
}

TEST(Templates, SettingsDialog) {
  const platform::DialogTemplate& d = setwick::SettingsTemplate();
  EXPECT_EQ(d.id, 102);
  EXPECT_EQ(d.caption, "Setwick");
  EXPECT_EQ(d.font_name, "MS Sans Serif");
  EXPECT_EQ(d.font_points, 8);
  EXPECT_EQ(d.width, 266);
  EXPECT_EQ(d.height, 172);
  EXPECT_EQ(d.style, platform::kDialogModalFrame | platform::kDialogSystemMenu |
                         platform::kDialogAppWindow);
  EXPECT_EQ(Describe(d), (std::vector<std::string>{
      "1 defbutton \"OK\" 209,129,50,14",
      "2 button \"Cancel\" 209,151,50,14",
      "1000 edit \"\" 7,28,121,15 border hscroll",
      "1001 edit \"\" 7,59,121,14 border hscroll",
      "1002 edit \"\" 7,89,121,14 border hscroll",
      "1003 edit \"\" 7,119,121,14 border hscroll",
      "1004 edit \"\" 7,151,121,14 border hscroll",
      "-1 label \"Your domain name to which internet mail will be addressed:\" 7,10,106,16",
      "-1 label \"Local host running Exchange Server:\" 7,50,110,8",
      "-1 label \"Pop3 host name: (at your ISP)\" 7,80,106,8",
      "-1 label \"Pop account name: (at your ISP)\" 7,110,107,8",
      "-1 label \"Pop account password: (at your ISP)\" 7,140,117,8",
      "-1 label \"Push \"OK\" to save configuration and exit.\" 209,92,50,34",
      "1009 label \"Not Found\" 176,58,51,8",
      "1010 label \"Not Found\" 176,69,50,8",
      "-1 groupbox \"Product Information\" 131,10,128,79",
      "-1 label \"Setwick:\" 140,58,32,8",
      "-1 label \"Quillon:\" 140,69,33,8",
      "1012 radio \"0 - None\" 135,108,45,10 group disabled",
      "1013 radio \"1 - Log\" 135,121,34,10",
      "1014 radio \"2 - Log/Archive\" 135,134,67,10",
      "-1 groupbox \"Log Level\" 131,91,74,74",
      "1016 radio \"3 - Full\" 135,147,39,10",
  }));
}

TEST(Templates, AboutDialog) {
  const platform::DialogTemplate& d = setwick::AboutTemplate();
  EXPECT_EQ(d.id, 100);
  EXPECT_EQ(d.caption, "About Setwick");
  EXPECT_EQ(d.font_name, "MS Sans Serif");
  EXPECT_EQ(d.font_points, 8);
  EXPECT_EQ(d.width, 199);
  EXPECT_EQ(d.height, 85);
  EXPECT_EQ(d.style, platform::kDialogModalFrame | platform::kDialogSystemMenu);
  EXPECT_EQ(Describe(d), (std::vector<std::string>{
      "-1 icon \"\" 11,17,20,20 icon128",
      "-1 label \"Setwick Version 1.2.7.0\" 40,10,83,8 noprefix",
      "1 defbutton \"OK\" 160,7,32,14",
      "1006 label \"Memory\" 90,45,93,8",
      "1007 label \"Disk Space\" 90,59,92,8",
      "-1 label \"Physical Memory:\" 21,45,54,8",
      "-1 label \"Disk Space:\" 22,59,57,8",
  }));
}

// Tab stops: buttons, edits and radio buttons; nothing else.
TEST(Templates, TabStops) {
  for (const platform::DialogTemplate* d : {&setwick::SettingsTemplate(), &setwick::AboutTemplate()}) {
    for (const platform::ControlTemplate& c : d->controls) {
      const bool input = c.kind == ControlKind::kEdit || c.kind == ControlKind::kPushButton ||
                         c.kind == ControlKind::kDefaultPushButton ||
                         c.kind == ControlKind::kAutoRadioButton;
      EXPECT_EQ((c.style & platform::kStyleTabStop) != 0, input) << Describe(c);
    }
  }
}

}  // namespace
}  // namespace setwick_test
