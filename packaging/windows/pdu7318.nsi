; Setup program of pdu7318 for 32- and 64-bit Windows (NSIS 3, makensis).
; tools/windows/installer.sh builds it; the defines come from there:
;   VERSION      the project's version (project() in CMakeLists.txt)
;   BIN32 BIN64  folders with pdu7318.dll and pdutool.exe of each target
;                (BIN32 also pdu7318-rootfile.exe)
;   DATA         the data folder (MDF.xml, config.ini, PDUAPI_7318.ini)
;   OUTFILE      the setup program to write
;   SHORTNAME DESCRIPTION SUPPLIER   our root description file entry
;
; What it does:
;   C:\ProgramData\Brenlo\Apps\7318\   MDF.xml, PDUAPI_7318.ini, config.ini
;                                      (an existing config.ini is kept)
;   <Program Files (x86)>\Brenlo\7318\ 32-bit pdu7318.dll, pdutool.exe,
;                                      pdu7318-rootfile.exe, uninstall.exe
;   <Program Files>\Brenlo\7318\       64-bit pdu7318.dll, pdutool.exe
;                                      (64-bit Windows only)
;   the root description file of each registry view (HKLM\SOFTWARE\D-PDU API
;   "Root File"): our entry added or replaced by pdu7318-rootfile.exe, the
;   file and the value created when the view has none
;   logging (page, or /LOG=1|0 and /LOGDIR=FOLDER in silent mode):
;   config.ini [LOG] open, and HKCU\SOFTWARE\Brenlo\MVCI "path"
;   an Add/Remove Programs entry
; The uninstaller takes away our files and our root file entries only.
;
; Silent:  pdu7318-setup-<version>.exe /S [/LOG=1 /LOGDIR=C:\Logs]
;          "<Program Files (x86)>\Brenlo\7318\uninstall.exe" /S
; Exit codes: 0 done; 2 aborted; 3 installed, but a root description file
; could not be edited; 4 files in use, nothing changed (install and
; uninstall).

Unicode true
ManifestSupportedOS all
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include MUI2.nsh

!define APPDIR "C:\ProgramData\Brenlo\Apps\7318"
!define ROOTKEY "SOFTWARE\D-PDU API"
!define ROOTVALUE "Root File"
!define LOGKEY "SOFTWARE\Brenlo\MVCI"
!define ARPKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${SHORTNAME}"

Name "${SHORTNAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES32\Brenlo\7318"
BrandingText "${SUPPLIER}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${SHORTNAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "${SUPPLIER}"
VIAddVersionKey /LANG=1033 "FileDescription" "Setup of ${DESCRIPTION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${SUPPLIER}"

Var LogOn      ; 1 or 0
Var LogDir     ; the log folder value
Var LogSet     ; 1 when the page or /LOG= asked for a logging setting
Var LogCheck
Var LogDirField
Var Failed     ; 1 when a root description file could not be edited
Var InUse      ; the files a running program holds, one per line
Var InUseArgs  ; the same files, quoted, for pdu7318-rootfile.exe holders

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
Page custom LogPageShow LogPageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Files in use. Windows keeps the file of a loaded DLL or a running program
; from being written; NSIS would skip such a file in silent mode and go on,
; and a diagnostic application would run the old DLL with the new data
; files. So the whole set is tried for writing first (opened for append,
; which changes nothing), and a file that cannot be opened ends the setup
; program before it changes anything: exit code 4, a message naming the
; files and, where Windows' Restart Manager can tell, the programs that
; hold them (pdu7318-rootfile.exe holders; the setup program carries its
; own copy, TOOL, since the installed one may be old or absent).
!macro TryWrite FILE
  ${If} ${FileExists} "${FILE}"
    ClearErrors
    FileOpen $9 "${FILE}" a
    ${If} ${Errors}
      StrCpy $InUse "$InUse$\r$\n    ${FILE}"
      StrCpy $InUseArgs '$InUseArgs "${FILE}"'
    ${Else}
      FileClose $9
    ${EndIf}
  ${EndIf}
!macroend

!macro RefuseInUse WHAT TOOL
  StrCpy $InUse ""
  StrCpy $InUseArgs ""
  !insertmacro TryWrite "$INSTDIR\pdu7318.dll"
  !insertmacro TryWrite "$INSTDIR\pdutool.exe"
  !insertmacro TryWrite "$INSTDIR\pdu7318-rootfile.exe"
  ${If} ${RunningX64}
    !insertmacro TryWrite "$PROGRAMFILES64\Brenlo\7318\pdu7318.dll"
    !insertmacro TryWrite "$PROGRAMFILES64\Brenlo\7318\pdutool.exe"
  ${EndIf}
  !insertmacro TryWrite "${APPDIR}\MDF.xml"
  !insertmacro TryWrite "${APPDIR}\PDUAPI_7318.ini"
  ${If} $InUse != ""
    ${If} ${FileExists} "${TOOL}"
      nsExec::ExecToStack '"${TOOL}" holders$InUseArgs'
      Pop $8  ; the exit code
      Pop $9  ; the holders, "NAME (process ID)" a line
      ${If} $8 == 0
      ${AndIf} $9 != ""
        StrCpy $InUse "$InUse$\r$\n$\r$\nHeld by:$\r$\n$9"
      ${EndIf}
    ${EndIf}
    DetailPrint "files in use:$InUse"
    MessageBox MB_OK|MB_ICONSTOP "${WHAT}: these files are in use by a running program (a diagnostic application with ${SHORTNAME} loaded):$InUse$\r$\n$\r$\nNothing was changed. Close the programs that use ${SHORTNAME} and run it again." /SD IDOK
    SetErrorLevel 4
    Quit
  ${EndIf}
!macroend

Function .onInit
  SetShellVarContext all
  StrCpy $LogSet 0
  StrCpy $Failed 0
  InitPluginsDir
  File "/oname=$PLUGINSDIR\pdu7318-rootfile.exe" "${BIN32}\pdu7318-rootfile.exe"
  !insertmacro RefuseInUse "${SHORTNAME} ${VERSION} was not installed" "$PLUGINSDIR\pdu7318-rootfile.exe"
  ; What is set now: a reinstall shows (and keeps) it.
  ReadINIStr $LogOn "${APPDIR}\config.ini" "LOG" "open"
  ${If} $LogOn != 1
    StrCpy $LogOn 0
  ${EndIf}
  ReadRegStr $LogDir HKCU "${LOGKEY}" "path"
  ${If} $LogDir == ""
    StrCpy $LogDir "C:\ProgramData\Brenlo\Logs"
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/LOG=" $R1
  ${IfNot} ${Errors}
    StrCpy $LogOn $R1
    StrCpy $LogSet 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/LOGDIR=" $R1
  ${IfNot} ${Errors}
    StrCpy $LogDir $R1
    StrCpy $LogSet 1
  ${EndIf}
FunctionEnd

Function LogPageShow
  !insertmacro MUI_HEADER_TEXT "Logging" "The module can write a log of every API call."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 30u "With logging on, the module writes three log files a day into J2534\7318\ below the log folder. Logging slows the module down; switch it on to trace a problem."
  Pop $0
  ${NSD_CreateCheckbox} 0 36u 100% 12u "&Write log files"
  Pop $LogCheck
  ${If} $LogOn == 1
    ${NSD_Check} $LogCheck
  ${EndIf}
  ${NSD_CreateLabel} 0 56u 100% 12u "Log &folder:"
  Pop $0
  ${NSD_CreateDirRequest} 0 70u 78% 12u "$LogDir"
  Pop $LogDirField
  ${NSD_CreateBrowseButton} 80% 69u 20% 14u "&Browse..."
  Pop $0
  ${NSD_OnClick} $0 LogBrowse
  nsDialogs::Show
FunctionEnd

Function LogBrowse
  ${NSD_GetText} $LogDirField $0
  nsDialogs::SelectFolderDialog "Log folder" $0
  Pop $0
  ${If} $0 != error
    ${NSD_SetText} $LogDirField $0
  ${EndIf}
FunctionEnd

Function LogPageLeave
  ${NSD_GetState} $LogCheck $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $LogOn 1
  ${Else}
    StrCpy $LogOn 0
  ${EndIf}
  ${NSD_GetText} $LogDirField $LogDir
  StrCpy $LogSet 1
FunctionEnd

; Adds our entry to the root description file of registry view VIEW (32 or
; 64), naming LIBRARY; where the view names no file, NEWFILE is made and
; the value set once the file holds our entry. A value naming a file whose
; folder is gone (another vendor's uninstaller took it) is repaired: the
; tool makes the folder and a new file there, and the value, which other
; vendors' clients read too, is kept. A failure shows the tool's own words
; (the file and the reason).
!macro RegisterIn VIEW LIBRARY NEWFILE
  SetRegView ${VIEW}
  StrCpy $R2 0
  StrCpy $R4 0
  ReadRegStr $R0 HKLM "${ROOTKEY}" "${ROOTVALUE}"
  ExpandEnvStrings $R0 $R0
  ${GetParent} $R0 $R3
  ${If} $R0 == ""
    StrCpy $R0 "${NEWFILE}"
    StrCpy $R2 1
    ${GetParent} $R0 $R3
    CreateDirectory $R3
  ${ElseIfNot} ${FileExists} "$R3\*.*"
    StrCpy $R4 1
  ${EndIf}
  DetailPrint "Root description file (${VIEW}-bit view): $R0"
  nsExec::ExecToStack '"$INSTDIR\pdu7318-rootfile.exe" --file "$R0" put --short-name "${SHORTNAME}" --library "${LIBRARY}" --mdf "${APPDIR}\MDF.xml" --description "${DESCRIPTION}" --supplier "${SUPPLIER}"'
  Pop $R1
  Pop $R5
  DetailPrint $R5
  ${If} $R1 == 0
    ${If} $R2 == 1
      WriteRegStr HKLM "${ROOTKEY}" "${ROOTVALUE}" $R0
    ${EndIf}
    ${If} $R4 == 1
      DetailPrint "The ${VIEW}-bit view's Root File value named $R0, whose folder was gone: created $R3 and a new root description file there with ${SHORTNAME}; the value is kept."
    ${EndIf}
  ${Else}
    StrCpy $Failed 1
    DetailPrint "$R0 was not edited (pdu7318-rootfile exit $R1); ${SHORTNAME} is not registered in the ${VIEW}-bit view"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${SHORTNAME} could not be registered in the root description file of the ${VIEW}-bit view:$\r$\n$\r$\n$R5$\r$\nClient applications of the ${VIEW}-bit view will not find ${SHORTNAME}." /SD IDOK
  ${EndIf}
  SetRegView lastused
!macroend

; Takes our entry out of the root description file of registry view VIEW;
; when that leaves no file (it held nothing else), the value goes too.
!macro UnregisterIn VIEW
  SetRegView ${VIEW}
  ReadRegStr $R0 HKLM "${ROOTKEY}" "${ROOTVALUE}"
  ExpandEnvStrings $R0 $R0
  ${If} $R0 != ""
    nsExec::ExecToLog '"$INSTDIR\pdu7318-rootfile.exe" --file "$R0" remove --short-name "${SHORTNAME}"'
    Pop $R1
    ${IfNot} ${FileExists} $R0
      DeleteRegValue HKLM "${ROOTKEY}" "${ROOTVALUE}"
      DeleteRegKey /ifempty HKLM "${ROOTKEY}"
      ${GetParent} $R0 $R3
      RMDir $R3
    ${EndIf}
  ${EndIf}
  SetRegView lastused
!macroend

Section "pdu7318"
  SetShellVarContext all

  ; The application folder the library reads.
  SetOutPath "${APPDIR}"
  File "${DATA}\MDF.xml"
  File "${DATA}\PDUAPI_7318.ini"
  ${IfNot} ${FileExists} "${APPDIR}\config.ini"
    File "${DATA}\config.ini"
  ${Else}
    DetailPrint "Kept ${APPDIR}\config.ini"
  ${EndIf}

  ; The 32-bit module, its tools and the uninstaller.
  SetOutPath "$INSTDIR"
  File "${BIN32}\pdu7318.dll"
  File "${BIN32}\pdutool.exe"
  File "${BIN32}\pdu7318-rootfile.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ${If} ${RunningX64}
    SetOutPath "$PROGRAMFILES64\Brenlo\7318"
    File "${BIN64}\pdu7318.dll"
    File "${BIN64}\pdutool.exe"
  ${EndIf}
  SetOutPath "$INSTDIR"

  ; Logging: only when the page or /LOG= / /LOGDIR= asked.
  ${If} $LogSet == 1
    WriteINIStr "${APPDIR}\config.ini" "LOG" "open" $LogOn
    ${If} $LogDir != ""
      WriteRegStr HKCU "${LOGKEY}" "path" $LogDir
    ${EndIf}
  ${EndIf}

  ; The root description files.
  ${If} ${RunningX64}
    !insertmacro RegisterIn 64 "$PROGRAMFILES64\Brenlo\7318\pdu7318.dll" "C:\ProgramData\D-PDU API\pdu_api_root_64.xml"
  ${EndIf}
  !insertmacro RegisterIn 32 "$INSTDIR\pdu7318.dll" "C:\ProgramData\D-PDU API\pdu_api_root_32.xml"

  ; Add/Remove Programs.
  SetRegView 64
  WriteRegStr HKLM "${ARPKEY}" "DisplayName" "${SHORTNAME} - ${DESCRIPTION}"
  WriteRegStr HKLM "${ARPKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${ARPKEY}" "Publisher" "${SUPPLIER}"
  WriteRegStr HKLM "${ARPKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${ARPKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${ARPKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${ARPKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${ARPKEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${ARPKEY}" "EstimatedSize" $0
  SetRegView lastused

  ${If} $Failed == 1
    SetErrorLevel 3
  ${EndIf}
SectionEnd

Function un.onInit
  SetShellVarContext all
  !insertmacro RefuseInUse "${SHORTNAME} was not removed" "$INSTDIR\pdu7318-rootfile.exe"
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  ${If} ${RunningX64}
    !insertmacro UnregisterIn 64
    Delete "$PROGRAMFILES64\Brenlo\7318\pdu7318.dll"
    Delete "$PROGRAMFILES64\Brenlo\7318\pdutool.exe"
    RMDir "$PROGRAMFILES64\Brenlo\7318"
    RMDir "$PROGRAMFILES64\Brenlo"
  ${EndIf}
  !insertmacro UnregisterIn 32

  Delete "${APPDIR}\MDF.xml"
  Delete "${APPDIR}\PDUAPI_7318.ini"
  Delete "${APPDIR}\config.ini"
  RMDir "${APPDIR}"
  RMDir "C:\ProgramData\Brenlo\Apps"
  RMDir "C:\ProgramData\Brenlo"

  Delete "$INSTDIR\pdu7318.dll"
  Delete "$INSTDIR\pdutool.exe"
  Delete "$INSTDIR\pdu7318-rootfile.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."

  ; The Add/Remove Programs entry goes only with the DLLs: a DLL that a
  ; program loaded since un.onInit looked stays, and so does the entry
  ; that lets the user remove it later.
  SetRegView 64
  ${If} ${FileExists} "$INSTDIR\pdu7318.dll"
  ${OrIf} ${FileExists} "$PROGRAMFILES64\Brenlo\7318\pdu7318.dll"
    DetailPrint "pdu7318.dll is in use and was not removed; the Add/Remove Programs entry is kept"
    SetErrorLevel 4
  ${Else}
    DeleteRegKey HKLM "${ARPKEY}"
  ${EndIf}
  SetRegView lastused
SectionEnd
