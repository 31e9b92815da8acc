// Setwick's resources: its two dialog templates, string table and icon.
#pragma once

#include "platform/dialog.h"

namespace setwick {

// Templates.
inline constexpr int kAboutDialogId = 100;
inline constexpr int kSettingsDialogId = 102;
// Strings.
inline constexpr int kAboutMenuString = 101;
inline constexpr int kMemoryFormatString = 103;
inline constexpr int kDiskFormatString = 104;
inline constexpr int kDiskUnavailableString = 105;
// Icon.
inline constexpr int kProgramIcon = 128;

// Controls of the settings dialog.
inline constexpr int kLocalDomainEdit = 1000;
inline constexpr int kLocalServerEdit = 1001;
inline constexpr int kPopServerEdit = 1002;
inline constexpr int kPopNameEdit = 1003;
inline constexpr int kPopPassEdit = 1004;
inline constexpr int kSetwickVersionLabel = 1009;
inline constexpr int kQuillonVersionLabel = 1010;
inline constexpr int kLogLevelFirstRadio = 1012;
// Controls of the about box.
inline constexpr int kMemoryLabel = 1006;
inline constexpr int kDiskLabel = 1007;

// The system-menu command of "&About Setwick...".
inline constexpr std::uint32_t kAboutCommand = 16;

const platform::ProgramResources& Resources();
const platform::DialogTemplate& SettingsTemplate();
const platform::DialogTemplate& AboutTemplate();

}  // namespace setwick
