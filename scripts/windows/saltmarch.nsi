; The Saltmarch installer: a 64-bit installer for the current user alone. It
; puts the launcher, the patch program and every DLL and Qt plug-in they load
; into one folder of the user's own (%LOCALAPPDATA%\Programs\Saltmarch by
; default), with a Start-menu shortcut, an uninstaller and the entry under
; "Apps and features", all under the current user: no elevation, no
; permission changed anywhere.
;   makensis -DBIN=DIR -DFILES=NSH -DOUTFILE=FILE -DVERSION=X.Y.Z -DICON=FILE
;            [-DDEVELOPMENT] [-DSIGN=COMMAND] saltmarch.nsi
; scripts/windows-package passes them: BIN is the folder of the files to
; install, FILES the generated list of them (the macros PROGRAM_FILES and
; PROGRAM_FOLDERS), DEVELOPMENT marks a development build in the title and
; the entry's name, SIGN is a command that signs the file it is given in place
; (the uninstaller and the installer are signed with it when given).
; Silent install: setup.exe /S [/D=C:\Some\Folder] (/D= comes last, unquoted).
; Silent removal: uninstall.exe /S.
;
; The launcher keeps the game it downloads in its own folder, so the folder
; belongs to Saltmarch alone: the installer takes only a missing or empty
; folder, or the folder of an earlier install (which holds the marker file),
; and the uninstaller removes that folder with everything in it.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!ifndef BIN | FILES | OUTFILE | VERSION | ICON
  !error "BIN, FILES, OUTFILE, VERSION and ICON must be defined (see scripts/windows-package)"
!endif
!include "${FILES}"

!define PRODUCT "Saltmarch"
!ifdef DEVELOPMENT
  !define TITLE "${PRODUCT} (development build)"
!else
  !define TITLE "${PRODUCT}"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define MARKER "saltmarch-folder.txt"

!ifdef SIGN
  !uninstfinalize '${SIGN} "%1"' = 0
  !finalize '${SIGN} "%1"' = 0
!endif

Name "${TITLE}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${TITLE} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${TITLE}"
VIAddVersionKey /LANG=1033 "FileDescription" "${TITLE} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PRODUCT}"

!include "MUI2.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_DIRECTORYPAGE_TEXT_TOP "Saltmarch keeps the game in this folder. Choose a new or empty folder (or the folder of an earlier install): removing Saltmarch removes the folder with everything in it."
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!macro INSTALL_FILE NAME
  File "/oname=${NAME}" "${BIN}\${NAME}"
!macroend
!macro REMOVE_FILE NAME
  Delete "$INSTDIR\${NAME}"
!macroend
!macro MAKE_FOLDER NAME
  CreateDirectory "$INSTDIR\${NAME}"
!macroend
!macro REMOVE_FOLDER NAME
  RMDir "$INSTDIR\${NAME}"
!macroend

; Sets $R0 to 1 when $INSTDIR may be installed into: missing, empty, or an
; earlier install's folder; to 0 otherwise.
Function FolderIsOurs
  Push $R1
  Push $R2
  StrCpy $R0 1
  IfFileExists "$INSTDIR\${MARKER}" done
  ClearErrors
  FindFirst $R1 $R2 "$INSTDIR\*"
  IfErrors done
  next:
    StrCmp $R2 "" close
    StrCmp $R2 "." more
    StrCmp $R2 ".." more
    StrCpy $R0 0
    Goto close
  more:
    FindNext $R1 $R2
    Goto next
  close:
  FindClose $R1
  done:
  Pop $R2
  Pop $R1
FunctionEnd

Function .onVerifyInstDir
  Call FolderIsOurs
  StrCmp $R0 1 +2
    Abort
FunctionEnd

Section "Saltmarch" main
  SectionIn RO
  ; A silent install is not held back by the directory page.
  Call FolderIsOurs
  StrCmp $R0 1 +3
    MessageBox MB_ICONSTOP|MB_OK "$INSTDIR is not empty and holds no earlier Saltmarch install. Choose a new or empty folder." /SD IDOK
    Abort
  SetOutPath "$INSTDIR"
  !insertmacro PROGRAM_FOLDERS MAKE_FOLDER
  !insertmacro PROGRAM_FILES INSTALL_FILE
  FileOpen $0 "$INSTDIR\${MARKER}" w
  FileWrite $0 "This folder belongs to Saltmarch. Its uninstaller removes the folder with everything in it.$\r$\n"
  FileClose $0

  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The shortcut starts the launcher in its folder (the output path).
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\launcher.exe" "" "$INSTDIR\launcher.exe" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${TITLE}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\launcher.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes the install folder with the game the launcher downloaded into it,
; the shortcut and the entry. A folder without the marker (the uninstaller
; copied elsewhere) loses only the installed files.
Section "Uninstall"
  IfFileExists "$INSTDIR\${MARKER}" 0 files_only
    RMDir /r "$INSTDIR"
    Goto folder_done
  files_only:
    !insertmacro PROGRAM_FILES REMOVE_FILE
    !insertmacro PROGRAM_FOLDERS REMOVE_FOLDER
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
  folder_done:
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
