; The Windows installer of Tallowmere: Quillon.exe and Setwick.exe in
; %ProgramFiles%\Brackwater\Tallowmere (the settings' installdir), the settings
; key (with smtpmode "standard" when it is new), an example maillist.txt,
; a Start-menu entry for Setwick and a scheduled task that runs the gateway
; every 15 minutes as SYSTEM. /S installs and uninstalls silently.
;
; makensis -DVERSION=1.5.0 -DBIN_DIR=<dir of the .exe files>
;          -DSOURCE_DIR=<this dir> -DOUT_FILE=<installer> tallowmere.nsi

!ifndef VERSION | BIN_DIR | SOURCE_DIR | OUT_FILE
  !error "VERSION, BIN_DIR, SOURCE_DIR and OUT_FILE must be defined"
!endif

Unicode true
; The programs are 64-bit; so is the installer, which then sees the 64-bit
; Program Files and registry.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include WordFunc.nsh

!define SETTINGS_KEY "SOFTWARE\Brackwater\Tallowmere\1.0"
; The mail connector's key. Setwick takes the spool's root from its RootDir;
; a machine without the connector gets a root of Tallowmere's own.
!define CONNECTOR_KEY "SYSTEM\CurrentControlSet\Services\MSExchangeIMC\Parameters"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tallowmere"
!define TASK_NAME "Tallowmere Gateway"
!define START_MENU "$SMPROGRAMS\Tallowmere"

Name "Tallowmere ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\Brackwater\Tallowmere"
; An upgrade goes where the settings say the programs are.
InstallDirRegKey HKLM "${SETTINGS_KEY}" "installdir"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Tallowmere"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "Tallowmere setup"
VIAddVersionKey /LANG=1033 "CompanyName" "Brackwater"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Brackwater"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

; Writes the task definition to the file $0: every 15 minutes, as SYSTEM,
; one run at a time. UTF-16 with its byte-order mark, as schtasks reads it.
Function WriteTaskDefinition
  ${WordReplace} "$INSTDIR" "&" "&amp;" "+" $1
  FileOpen $2 $0 w
  FileWriteWord $2 0xFEFF
  FileWriteUTF16LE $2 '<?xml version="1.0" encoding="UTF-16"?>$\r$\n'
  FileWriteUTF16LE $2 '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">$\r$\n'
  FileWriteUTF16LE $2 '  <RegistrationInfo>$\r$\n'
  FileWriteUTF16LE $2 '    <Author>Brackwater</Author>$\r$\n'
  FileWriteUTF16LE $2 '    <Description>Runs the Tallowmere mail gateway every 15 minutes.</Description>$\r$\n'
  FileWriteUTF16LE $2 '  </RegistrationInfo>$\r$\n'
  FileWriteUTF16LE $2 '  <Triggers>$\r$\n'
  FileWriteUTF16LE $2 '    <TimeTrigger>$\r$\n'
  FileWriteUTF16LE $2 '      <StartBoundary>2000-01-01T00:00:00</StartBoundary>$\r$\n'
  FileWriteUTF16LE $2 '      <Repetition>$\r$\n'
  FileWriteUTF16LE $2 '        <Interval>PT15M</Interval>$\r$\n'
  FileWriteUTF16LE $2 '        <StopAtDurationEnd>false</StopAtDurationEnd>$\r$\n'
  FileWriteUTF16LE $2 '      </Repetition>$\r$\n'
  FileWriteUTF16LE $2 '      <Enabled>true</Enabled>$\r$\n'
  FileWriteUTF16LE $2 '    </TimeTrigger>$\r$\n'
  FileWriteUTF16LE $2 '  </Triggers>$\r$\n'
  FileWriteUTF16LE $2 '  <Principals>$\r$\n'
  FileWriteUTF16LE $2 '    <Principal id="Author">$\r$\n'
  FileWriteUTF16LE $2 '      <UserId>S-1-5-18</UserId>$\r$\n'
  FileWriteUTF16LE $2 '      <RunLevel>HighestAvailable</RunLevel>$\r$\n'
  FileWriteUTF16LE $2 '    </Principal>$\r$\n'
  FileWriteUTF16LE $2 '  </Principals>$\r$\n'
  FileWriteUTF16LE $2 '  <Settings>$\r$\n'
  ; The gateway's own lock keeps a second run out too; a run still going
  ; after 4 hours is stopped, and the next one picks up its spool.
  FileWriteUTF16LE $2 '    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>$\r$\n'
  FileWriteUTF16LE $2 '    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>$\r$\n'
  FileWriteUTF16LE $2 '    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>$\r$\n'
  FileWriteUTF16LE $2 '    <StartWhenAvailable>true</StartWhenAvailable>$\r$\n'
  FileWriteUTF16LE $2 '    <ExecutionTimeLimit>PT4H</ExecutionTimeLimit>$\r$\n'
  FileWriteUTF16LE $2 '    <Enabled>true</Enabled>$\r$\n'
  FileWriteUTF16LE $2 '  </Settings>$\r$\n'
  FileWriteUTF16LE $2 '  <Actions Context="Author">$\r$\n'
  FileWriteUTF16LE $2 '    <Exec>$\r$\n'
  FileWriteUTF16LE $2 '      <Command>"$1\Quillon.exe"</Command>$\r$\n'
  FileWriteUTF16LE $2 '      <WorkingDirectory>$1</WorkingDirectory>$\r$\n'
  FileWriteUTF16LE $2 '    </Exec>$\r$\n'
  FileWriteUTF16LE $2 '  </Actions>$\r$\n'
  FileWriteUTF16LE $2 '</Task>$\r$\n'
  FileClose $2
FunctionEnd

Section "Tallowmere"
  SetOutPath "$INSTDIR"
  File "${BIN_DIR}/Quillon.exe"
  File "${BIN_DIR}/Setwick.exe"
  ; The example list never replaces the administrator's.
  SetOverwrite off
  File "${SOURCE_DIR}/../maillist.txt"
  SetOverwrite on
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The settings key with installdir; its other values are Setwick's, but
  ; for smtpmode: a new key gets "standard", the SMTP conversation with CR LF
  ; line ends in the data that mail servers require today. A key that is
  ; there already (an upgrade) keeps its smtpmode, or its lack of one; an
  ; empty value brings back the gateway's own conversation.
  ; (EnumRegKey fails only when the key cannot be opened: when it is missing.)
  ClearErrors
  EnumRegKey $0 HKLM "${SETTINGS_KEY}" 0
  ${If} ${Errors}
    WriteRegStr HKLM "${SETTINGS_KEY}" "smtpmode" "standard"
  ${EndIf}
  WriteRegStr HKLM "${SETTINGS_KEY}" "installdir" "$INSTDIR"
  ClearErrors
  ReadRegStr $0 HKLM "${CONNECTOR_KEY}" "RootDir"
  ${If} ${Errors}
    StrCpy $0 "$APPDATA\Brackwater\Tallowmere"
    WriteRegStr HKLM "${CONNECTOR_KEY}" "RootDir" "$0"
    CreateDirectory "$0"
    ; The spool holds the site's mail: SYSTEM (the gateway's task) and the
    ; administrators (Setwick) only, not the users whom ProgramData lets read.
    nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$0" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F'
    Pop $1
    ${If} $1 != 0
      MessageBox MB_OK|MB_ICONEXCLAMATION 'The access rights of "$0" could not be set ($1).' /SD IDOK
      SetErrorLevel 2
    ${EndIf}
  ${EndIf}

  CreateDirectory "${START_MENU}"
  CreateShortcut "${START_MENU}\Setwick.lnk" "$INSTDIR\Setwick.exe" "" "$INSTDIR\Setwick.exe" 0 \
    SW_SHOWNORMAL "" "Tallowmere configuration"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tallowmere"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Brackwater"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Setwick.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; The task, enabled at once: a run before Setwick has saved any settings
  ; only writes its event-log entry.
  ; The definition stays beside the programs, to register the task anew
  ; with the same command.
  StrCpy $0 "$INSTDIR\gateway-task.xml"
  Call WriteTaskDefinition
  nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Create /TN "${TASK_NAME}" /XML "$0" /F'
  Pop $1
  ${If} $1 != 0
    DetailPrint "schtasks: $1"
    MessageBox MB_OK|MB_ICONEXCLAMATION \
      'The scheduled task "${TASK_NAME}" could not be created ($1).' /SD IDOK
    SetErrorLevel 2
  ${EndIf}
SectionEnd

; Leaves the settings, maillist.txt and the spool.
Section "Uninstall"
  nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Delete /TN "${TASK_NAME}" /F'
  Pop $0
  Delete "${START_MENU}\Setwick.lnk"
  RMDir "${START_MENU}"
  Delete "$INSTDIR\Quillon.exe"
  Delete "$INSTDIR\Setwick.exe"
  Delete "$INSTDIR\gateway-task.xml"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
