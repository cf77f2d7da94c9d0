; Installer of the Tavrik screen tools for Windows: the program folder that
; scripts/build-windows lays out goes to Program Files\Tavrik, with Start-menu
; entries named as the desktop entries are and an uninstaller that removes
; exactly what was installed.
;
;   makensis -DDIST=<program folder> -DOUTFILE=<setup.exe> -DVERSION=<x.y[.z]> tavrik.nsi
;
; with absolute paths.

!ifndef DIST
  !error "DIST (the program folder) is not defined"
!endif
!ifndef OUTFILE
  !error "OUTFILE is not defined"
!endif
!ifndef VERSION
  !error "VERSION is not defined"
!endif

Unicode true
; The programs are 64-bit; so is the installer, which then sees the 64-bit
; Program Files and registry as they are.
Target amd64-unicode
ManifestDPIAware true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define PRODUCT "Tavrik Screen Tools"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrik"

; The Start-menu entries' names and comments, as the desktop entries give
; them, and the program folder's files.
!tempfile LISTS
; makensis runs in this script's folder unless given /NOCD.
!system `cd "${__FILEDIR__}" 2>/dev/null; ./nsis-lists "${DIST}" > "${LISTS}"` = 0
!include "${LISTS}"
!delfile "${LISTS}"

; Windows wants four numbers in a file's version.
!searchparse /noerrors "${VERSION}.0.0.0." "" VERSION_1 "." VERSION_2 "." VERSION_3 "."

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tavrik"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION_1}.${VERSION_2}.${VERSION_3}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "LegalCopyright" ""

!define MUI_ABORTWARNING
!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!macro SHORTCUT program startIn
  StrCpy $OUTDIR "${startIn}"
  CreateShortcut "$SMPROGRAMS\Tavrik\${NAME_${program}}.lnk" "$INSTDIR\${EXE_${program}}" "" \
    "$INSTDIR\${EXE_${program}}" 0 SW_SHOWNORMAL "" "${COMMENT_${program}}"
!macroend

Function .onInit
  SetRegView 64
  SetShellVarContext all
  ; An earlier version goes first, so that none of its files outlive it.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\uninstall.exe"
    ExecWait '"$0\uninstall.exe" /S _?=$0'
    Delete "$0\uninstall.exe"
    RMDir "$0"
  ${EndIf}
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  !insertmacro TAVRIK_INSTALL_FILES
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Started in the programs' folder, where they find what lies beside them;
  ; logomerge writes its output to the folder it is started in, and Program
  ; Files is not the user's to write: it starts in the user's documents.
  CreateDirectory "$SMPROGRAMS\Tavrik"
  ${GetParent} "$INSTDIR\${EXE_panelctl}" $0
  !insertmacro SHORTCUT panelctl $0
  ${GetParent} "$INSTDIR\${EXE_spanmon}" $0
  !insertmacro SHORTCUT spanmon $0
  !insertmacro SHORTCUT logomerge "%USERPROFILE%\Documents"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tavrik"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE_panelctl}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\Tavrik\${NAME_panelctl}.lnk"
  Delete "$SMPROGRAMS\Tavrik\${NAME_spanmon}.lnk"
  Delete "$SMPROGRAMS\Tavrik\${NAME_logomerge}.lnk"
  RMDir "$SMPROGRAMS\Tavrik"

  !insertmacro TAVRIK_REMOVE_FILES
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: what the user put there stays.
  RMDir /REBOOTOK "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${If} ${RebootFlag}
    DetailPrint "Files of a program still running go when Windows restarts."
  ${EndIf}
SectionEnd
