; The Saltmarch installer: SaltmarchSetup.exe, a 64-bit installer that puts
; the launcher, the patch program and every DLL and Qt plug-in they load into
; one folder, with a Start-menu shortcut, an uninstaller and the entry under
; "Apps and features".
;   makensis -DBIN=DIR -DOUTFILE=FILE -DVERSION=X.Y.Z -DICON=FILE saltmarch.nsi
; BIN is the cross-build's bin folder (scripts/windows-package passes it).
; Silent install: SaltmarchSetup.exe /S [/D=C:\Some\Folder] (/D= comes last,
; unquoted). Silent removal: uninstall.exe /S.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!ifndef BIN | OUTFILE | VERSION | ICON
  !error "BIN, OUTFILE, VERSION and ICON must be defined (see scripts/windows-package)"
!endif

!define PRODUCT "Saltmarch"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; The installer writes below Program Files and HKLM.
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PRODUCT}"

!include "MUI2.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The program files, shared by the install and the uninstall sections.
!macro PROGRAM_FILES DO
  !insertmacro ${DO} "launcher.exe"
  !insertmacro ${DO} "patcher.exe"
  !insertmacro ${DO} "Qt5Core.dll"
  !insertmacro ${DO} "Qt5Gui.dll"
  !insertmacro ${DO} "Qt5Widgets.dll"
  !insertmacro ${DO} "Qt5Network.dll"
  !insertmacro ${DO} "Qt5Concurrent.dll"
  !insertmacro ${DO} "libssl-3-x64.dll"
  !insertmacro ${DO} "libcrypto-3-x64.dll"
  !insertmacro ${DO} "libstdc++-6.dll"
  !insertmacro ${DO} "libgcc_s_seh-1.dll"
  !insertmacro ${DO} "libwinpthread-1.dll"
  !insertmacro ${DO} "platforms\qwindows.dll"
  ; The window's pictures are partly JPEG; the icon format for window icons.
  !insertmacro ${DO} "imageformats\qjpeg.dll"
  !insertmacro ${DO} "imageformats\qico.dll"
  !insertmacro ${DO} "styles\qwindowsvistastyle.dll"
!macroend
!macro INSTALL_FILE NAME
  File "/oname=${NAME}" "${BIN}\${NAME}"
!macroend
!macro REMOVE_FILE NAME
  Delete "$INSTDIR\${NAME}"
!macroend

Section "Saltmarch" main
  SectionIn RO
  SetOutPath "$INSTDIR\platforms"
  SetOutPath "$INSTDIR\imageformats"
  SetOutPath "$INSTDIR\styles"
  SetOutPath "$INSTDIR"
  !insertmacro PROGRAM_FILES INSTALL_FILE

  ; The launcher runs as the invoking user and keeps the game files in its
  ; own folder, so the local Users group (S-1-5-32-545) may change them.
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR" /grant *S-1-5-32-545:(OI)(CI)M /T /Q'
  Pop $0

  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The shortcut starts the launcher in its folder (the output path).
  SetShellVarContext all
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\launcher.exe" "" "$INSTDIR\launcher.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\launcher.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put there. The game files the launcher fetched
; into the folder stay: the folder may be one the player chose (/D=), so
; nothing is removed by wildcard, and the folder goes only when empty.
Section "Uninstall"
  !insertmacro PROGRAM_FILES REMOVE_FILE
  RMDir "$INSTDIR\platforms"
  RMDir "$INSTDIR\imageformats"
  RMDir "$INSTDIR\styles"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
