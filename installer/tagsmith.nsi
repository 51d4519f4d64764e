; The setup program of the Windows application folder, built on Linux with
; makensis: makensis -DAPPDIR=<bin folder> -DARCH=x64|x86 -DOUTFILE=<exe>
; tagsmith.nsi. An upgrade keeps the station's tagsmith.cfg and
; ulpkData.bin; the uninstaller leaves them (and whatever the program wrote
; beside them) in place. Neither ever touches the ledger (tagsmith.ledger,
; tagsmith.ledger.mark, tagsmith.ledger-wal, tagsmith.ledger-shm and the
; folder tagsmith.ledger.sessions): it is the record of which IDs were
; written, and only files the setup program installed are removed.
Unicode true
SetCompressor zlib

!include "MUI2.nsh"
!include "x64.nsh"

!ifndef APPDIR
  !error "APPDIR (the application folder to install) is required"
!endif
!ifndef ARCH
  !define ARCH x64
!endif
!ifndef OUTFILE
  !define OUTFILE "tagsmith-setup-${ARCH}.exe"
!endif

!define PRODUCT "Tagsmith"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tagsmith"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
!if "${ARCH}" == "x64"
  InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else
  InstallDir "$PROGRAMFILES32\${PRODUCT}"
!endif
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "1.0.0.1"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "FileVersion" "1.0.0.1"
VIAddVersionKey /LANG=2052 "ProductVersion" "1.0.0.1"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=2052 "LegalCopyright" "${PRODUCT}"

!ifdef ICON
  !define MUI_ICON "${ICON}"
!endif
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
  !if "${ARCH}" == "x64"
    ${IfNot} ${RunningX64}
      MessageBox MB_OK|MB_ICONSTOP "此安装程序仅适用于 64 位 Windows。" /SD IDOK
      Abort
    ${EndIf}
    SetRegView 64
  !endif
FunctionEnd

Section "Tagsmith"
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "${APPDIR}\tagsmith.exe"
  File "${APPDIR}\tagsmith-cli.exe"
  File "${APPDIR}\modhost.dll"
  File "${APPDIR}\Volkit.dll"
  File "${APPDIR}\sample.ids"
  ; The station's own settings and data survive an upgrade.
  SetOverwrite off
  File "${APPDIR}\tagsmith.cfg"
  File "${APPDIR}\ulpkData.bin"
  SetOverwrite on

  WriteUninstaller "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\tagsmith.exe" "" "$INSTDIR\tagsmith.exe" 0
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\卸载 ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "1.0.0.1"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tagsmith.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  !if "${ARCH}" == "x64"
    SetRegView 64
  !endif
  ; The program's files go, one by one; the station's settings, data,
  ; staging folder and ledger stay with the folder (RMDir without /r
  ; removes it only when empty).
  Delete "$INSTDIR\tagsmith.exe"
  Delete "$INSTDIR\tagsmith-cli.exe"
  Delete "$INSTDIR\modhost.dll"
  Delete "$INSTDIR\Volkit.dll"
  Delete "$INSTDIR\sample.ids"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\卸载 ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
