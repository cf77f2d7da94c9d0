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

; Sets $R0 to those of the programs that run now (any copy of them), as
; "panelctl.exe, tavrikctl.exe", or to "" when none does. Their files, and
; the DLLs they load, cannot be replaced or removed while they run: a
; removal would only be scheduled for the next restart, which then takes
; away the new files written to the same paths.
!macro RUNNING_PROGRAMS un
Function ${un}RunningPrograms
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $R0 ""
  StrCpy $R1 ""
  StrCpy $R2 ""
  StrCpy $R3 ""
  StrCpy $R4 ""
  StrCpy $R5 ""
  ; TH32CS_SNAPPROCESS; PROCESSENTRY32W is 568 bytes, its szExeFile at 44.
  System::Call 'kernel32::CreateToolhelp32Snapshot(i 2, i 0) p .r1'
  ${If} $1 = -1
    Goto done
  ${EndIf}
  System::Alloc 568
  Pop $2
  System::Call '*$2(i 568)'
  System::Call 'kernel32::Process32FirstW(p r1, p r2) i .r3'
  ${DoWhile} $3 <> 0
    IntPtrOp $4 $2 + 44
    System::Call '*$4(&w260 .r4)'
    ; StrCmp, and so ==, does not tell case apart, as Windows' names do not.
    ${If} $4 == "panelctl.exe"
      StrCpy $R1 "$4, "
    ${ElseIf} $4 == "spanmon.exe"
      StrCpy $R2 "$4, "
    ${ElseIf} $4 == "logomerge.exe"
      StrCpy $R3 "$4, "
    ${ElseIf} $4 == "tavrikctl.exe"
      StrCpy $R4 "$4, "
    ${ElseIf} $4 == "telvdrv.exe"
      StrCpy $R5 "$4, "
    ${EndIf}
    System::Call 'kernel32::Process32NextW(p r1, p r2) i .r3'
  ${Loop}
  System::Free $2
  System::Call 'kernel32::CloseHandle(p r1)'
  StrCpy $R0 "$R1$R2$R3$R4$R5"
  ${If} $R0 != ""
    StrCpy $R0 $R0 -2
  ${EndIf}
done:
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd
!macroend
!insertmacro RUNNING_PROGRAMS ""
!insertmacro RUNNING_PROGRAMS "un."

; Says $R9 on standard error, where there is one (a silent run from a
; script), and ends with exit status 2.
!macro REFUSE un
Function ${un}Refuse
  System::Call 'kernel32::GetStdHandle(i -12) p .r0'
  ${If} $0 <> 0
  ${AndIf} $0 <> -1
    FileWrite $0 "$R9$\r$\n"
  ${EndIf}
  SetErrorLevel 2
  Quit
FunctionEnd
!macroend
!insertmacro REFUSE ""
!insertmacro REFUSE "un."

; Refuses while a program of ours runs; in a window it may be closed and
; tried again.
!macro REFUSE_WHILE_RUNNING un what
  ${Do}
    Call ${un}RunningPrograms
    ${If} $R0 == ""
      ${Break}
    ${EndIf}
    StrCpy $R9 "${PRODUCT} cannot be ${what} while these programs run: $R0. Close them (an upgrade in tavrikctl must finish first), then try again."
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$R9" /SD IDCANCEL IDRETRY again
    Call ${un}Refuse
  again:
  ${Loop}
!macroend

!macro SHORTCUT program startIn
  StrCpy $OUTDIR "${startIn}"
  CreateShortcut "$SMPROGRAMS\Tavrik\${NAME_${program}}.lnk" "$INSTDIR\${EXE_${program}}" "" \
    "$INSTDIR\${EXE_${program}}" 0 SW_SHOWNORMAL "" "${COMMENT_${program}}"
!macroend

Function .onInit
  SetRegView 64
  SetShellVarContext all
  !insertmacro REFUSE_WHILE_RUNNING "" installed
  ; An earlier version goes first, so that none of its files outlive it.
  ; Nothing of it is in use now, so nothing is left to go at a restart.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\uninstall.exe"
    ExecWait '"$0\uninstall.exe" /S _?=$0' $1
    ${If} $1 <> 0
      StrCpy $R9 "The earlier version in $0 could not be removed wholly: a file of it is in use. Close what uses it, then try again."
      MessageBox MB_OK|MB_ICONSTOP "$R9" /SD IDOK
      Call Refuse
    ${EndIf}
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
  !insertmacro REFUSE_WHILE_RUNNING "un." removed
FunctionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\Tavrik\${NAME_panelctl}.lnk"
  Delete "$SMPROGRAMS\Tavrik\${NAME_spanmon}.lnk"
  Delete "$SMPROGRAMS\Tavrik\${NAME_logomerge}.lnk"
  RMDir "$SMPROGRAMS\Tavrik"

  ; Never left for a restart: an installation made before it would lose the
  ; files written to the same paths. What cannot go now stays, listed with
  ; its uninstaller, and the exit status says so.
  ClearErrors
  !insertmacro TAVRIK_REMOVE_FILES
  ${If} ${Errors}
    DetailPrint "Files in use are left in $INSTDIR: close what uses them and remove ${PRODUCT} again."
    SetErrorLevel 3
    Return
  ${EndIf}
  !insertmacro TAVRIK_REMOVE_FOLDERS
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: what the user put there stays.
  RMDir "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
