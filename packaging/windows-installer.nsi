; The Windows installer, rk880t-tool-<version>-setup.exe (scripts/package builds it from the
; unpacked zip):
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DSRC=<folder with the programs> -DOUTFILE=<setup.exe>
;            -DGUIDE=<the operating guide .doc> -DGUIDE_HTML=<the guide .html> packaging/windows-installer.nsi
; It installs the programs, "RecordCSV.sdi" and the operating guide into
; one folder under the 64-bit Program Files, with the uninstaller "UnInstallAll.exe" beside them
; (the name the tool starts), Start menu entries, an entry in the installed programs list and
; inbound firewall rules for rk880t-tool.exe and rk880t-tool.com. /S installs and uninstalls
; silently. The folder is always the one under Program Files: the programs run elevated, and only
; administrators may write there (a folder of the technician's choice would let anyone plant a
; library or a configuration file beside them), so there is no folder page and /D is ignored.
; The technician's data is never touched: the version folder (C:\Program Files\Windows
; Service\RK880TVersion with its NV archive), the counters INI and the record files in the system
; directory, and what the tool writes into its own folder (configuration file, Logs) stay after
; an uninstall.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!ifndef VERSION
  !error "VERSION is not defined (-DVERSION=x.y.z)"
!endif
!ifndef SRC
  !error "SRC is not defined (-DSRC=<folder with the programs>)"
!endif
!ifndef GUIDE
  !error "GUIDE is not defined (-DGUIDE=<the operating guide .doc>)"
!endif
!ifndef GUIDE_HTML
  !error "GUIDE_HTML is not defined (-DGUIDE_HTML=<the operating guide .html>)"
!endif
!ifndef OUTFILE
  !define OUTFILE "rk880t-tool-${VERSION}-setup.exe"
!endif

!define PRODUCT "RK880T Service Tool"
!define PUBLISHER "RK880T service tool developers"
!define UNINSTALLER "UnInstallAll.exe"
!define GUIDE_NAME "MG_RK880T_PDWA_CN_EU操作说明.doc"
!define GUIDE_HTML_NAME "MG_RK880T_PDWA_CN_EU操作说明.html"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\rk880t-tool"
!define FIREWALL_RULE "RK880T Service Tool"
!define FIREWALL_RULE_CONSOLE "RK880T Service Tool (console)"
; What the rules admit: the gateway's link connection, nothing else.
!define FIREWALL_ADMITS "protocol=tcp localport=4536 remoteip=localsubnet"
; The tool's single-instance mutex (form/view.h INSTANCE_MUTEX_NAME): held while a copy runs.
!define TOOL_MUTEX "KVOR417N1,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66"
; The firewall steps' log: a silent run shows no details list, so netsh's answers go here too.
!define SETUP_LOG "$TEMP\rk880t-tool-setup.log"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show

; The version resource wants four numbers; the project's version has three.
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PUBLISHER}"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${__FILEDIR__}/../ui/win32/rk880t-tool.ico"
!define MUI_UNICON "${__FILEDIR__}/../ui/win32/rk880t-tool.ico"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first language is the one for systems that are neither Chinese nor English.
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString TOOL_RUNNING ${LANG_SIMPCHINESE} "RK880T 服务工具正在运行，请先关闭它，然后点击【重试】。"
LangString TOOL_RUNNING ${LANG_ENGLISH} "The RK880T service tool is running. Close it, then press Retry."
LangString GUIDE_LINK ${LANG_SIMPCHINESE} "RK880T 操作说明"
LangString GUIDE_LINK ${LANG_ENGLISH} "RK880T operating guide"

; Appends one line (UTF-16LE, as Windows' own logs) to the setup log.
!macro LogLine TEXT
  Push $R9
  ${If} ${FileExists} "${SETUP_LOG}"
    FileOpen $R9 "${SETUP_LOG}" a
    FileSeek $R9 0 END
  ${Else}
    FileOpen $R9 "${SETUP_LOG}" w
    FileWriteWord $R9 0xFEFF
  ${EndIf}
  FileWriteUTF16LE $R9 `${TEXT}$\r$\n`
  FileClose $R9
  Pop $R9
!macroend

; Runs netsh with ARGS; its answer and exit status go to the details list and the setup log.
; Neither a missing netsh nor a stopped firewall service fails the installation.
!macro Netsh ARGS
  nsExec::ExecToStack '"$SYSDIR\netsh.exe" ${ARGS}'
  Pop $0
  Pop $1
  ${If} $1 == ""
    StrCpy $1 "(no output)"
  ${EndIf}
  DetailPrint `netsh ${ARGS}`
  DetailPrint "$1"
  DetailPrint "netsh: $0"
  !insertmacro LogLine `netsh ${ARGS}`
  !insertmacro LogLine "$1"
  !insertmacro LogLine "netsh: $0"
!macroend

; Waits (about 10 s) for a running copy of the tool to end, then asks; a silent run gives up.
!macro WaitForTool UN
Function ${UN}WaitForTool
  Push $0
  Push $1
  StrCpy $1 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${TOOL_MUTEX}") p .r0'
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r0)'
    IntOp $1 $1 + 1
    ${If} $1 >= 20
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(TOOL_RUNNING)" /SD IDCANCEL IDRETRY +2
      Abort
      StrCpy $1 0
    ${EndIf}
    Sleep 500
  ${Loop}
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro WaitForTool ""
!insertmacro WaitForTool "un."

Function .onInit
  ; A /D on the command line is set before this runs: the folder goes back to Program Files.
  StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
FunctionEnd

Section "Install"
  SetShellVarContext all
  SetRegView 64
  Call WaitForTool

  SetOutPath "$INSTDIR"
  File "${SRC}/rk880t-tool.exe"
  File "${SRC}/rk880t-tool.com"
  File "${SRC}/rk880t-gateway-sim.exe"
  File "${SRC}/RecordCSV.sdi"
  File "/oname=${GUIDE_NAME}" "${GUIDE}"
  File "/oname=${GUIDE_HTML_NAME}" "${GUIDE_HTML}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; The shortcuts start in the program folder (the tool's "Logs" go to its working folder).
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\rk880t-tool.exe" "" "$INSTDIR\rk880t-tool.exe" 0
  ; The guide's entry opens the HTML: every PC has a browser, not every PC a program for .doc.
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\$(GUIDE_LINK).lnk" "$INSTDIR\${GUIDE_HTML_NAME}"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\rk880t-tool.exe,0"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" "$0"

  ; The tool listens for the gateway's link connection, and the gateway's Ethernet is usually a
  ; Public network, where Windows blocks an unknown program's inbound connections. The gateway is
  ; always on the PC's own subnet and calls TCP port 4536, so each program's rule admits exactly
  ; that. Rules left by an earlier installation are replaced rather than doubled.
  !insertmacro LogLine "install ${VERSION} into $INSTDIR"
  !insertmacro Netsh 'advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  !insertmacro Netsh 'advfirewall firewall delete rule name="${FIREWALL_RULE_CONSOLE}"'
  !insertmacro Netsh 'advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\rk880t-tool.exe" enable=yes profile=any ${FIREWALL_ADMITS}'
  !insertmacro Netsh 'advfirewall firewall add rule name="${FIREWALL_RULE_CONSOLE}" dir=in action=allow program="$INSTDIR\rk880t-tool.com" enable=yes profile=any ${FIREWALL_ADMITS}'
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 64
  Call un.WaitForTool

  !insertmacro LogLine "uninstall from $INSTDIR"
  !insertmacro Netsh 'advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  !insertmacro Netsh 'advfirewall firewall delete rule name="${FIREWALL_RULE_CONSOLE}"'

  ; Only the installed files: what the tool wrote beside itself keeps the folder.
  Delete "$INSTDIR\rk880t-tool.exe"
  Delete "$INSTDIR\rk880t-tool.com"
  Delete "$INSTDIR\rk880t-gateway-sim.exe"
  Delete "$INSTDIR\RecordCSV.sdi"
  Delete "$INSTDIR\${GUIDE_NAME}"
  Delete "$INSTDIR\${GUIDE_HTML_NAME}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\RK880T 操作说明.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\RK880T operating guide.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
