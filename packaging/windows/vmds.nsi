; Windows installer of the Velmora Device Server: the manager, the device server, the removal tool,
; the first master vmds.ini and a README, in a folder under Program Files.
;
;   makensis -DBIN_DIR=<dir of the built programs> -DOUT_FILE=<setup.exe> -DREADME=<README.txt>
;            -DVERSION=4.0.0.84 vmds.nsi
;
; Silent install: setup.exe /S [/D=C:\Program Files\Some Folder]  (/D= last and unquoted)
; Silent uninstall: "<folder>\Uninstall.exe" /S
;
; The folder gets an access list of its own wherever it is (nothing inherited from its parent:
; Administrators and SYSTEM full control, Users read and execute), before anything is put in
; it: the programs in it and in its instance directories run as LocalSystem. When that fails,
; nothing is installed.
;
; An upgrade keeps the existing vmds.ini (every instance and setting): it stops the master
; instance's service while the programs are replaced and starts it again afterwards. The instance
; directories keep their own copies of vmds.exe, which only the manager makes.
;
; The uninstaller first runs "vmdsremove.exe remove_all_services" and waits for it, then deletes
; what this installer put in the folder, the master's log file and the instance directories that
; the master vmds.ini lists (each one only when its own vmds.ini names it as that instance and its
; service is gone). Anything else in the folder stays, and the uninstaller says so. When a
; service is still registered after the removal tool ran, it removes nothing else (the
; instances, vmds.ini, the programs, itself, the shortcuts and the Programs and Features entry
; stay), names the services, says to run it again after a restart, and ends with exit code 2.

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"

!ifndef VERSION
  !define VERSION "4.0.0.84"
!endif
!ifndef BIN_DIR
  !error "BIN_DIR (the directory of the built programs) is not defined"
!endif
!ifndef OUT_FILE
  !define OUT_FILE "VelmoraDeviceServerSetup.exe"
!endif
!ifndef README
  !error "README (the README.txt to install) is not defined"
!endif

!define PRODUCT "Velmora Device Server"
!define PUBLISHER "Daltrimore"
!define MANAGER_TITLE "Velmora Device Server - Instance Manager"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmora Device Server"
!define MASTER_SECTION "Daltrimore Velmora Device Server - Instance Manager - Master"
!define INSTANCE_SECTION "Daltrimore Velmora Device Server - Instance Manager - Instance - "
!define MASTER_SERVICE "Daltrimore_VMDS_Mstr"
!define START_MENU "$SMPROGRAMS\Velmora Device Server"
; Every instance reports to the Application event log under this one source. Its messages are
; read from the vmds.exe of the install folder: it lives as long as the product, where an
; instance's own copy goes with that instance and would leave its older events unreadable.
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Velmora Device Server"

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PUBLISHER} ${PRODUCT} ${VERSION}"
AllowSkipFiles off
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\VMDSMgr.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start the Instance Manager"
!define MUI_FINISHPAGE_RUN_NOTCHECKED
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var MasterWasRunning
Var Names
Var Left
Var Remaining

; ---- Service database (advapi32 through the System plug-in) ------------------------------------

; Stops the master instance's service when it runs and waits up to 60 s for it to stop, so that
; its vmds.exe can be replaced. Sets $MasterWasRunning to 1 when it was running.
!macro StopMasterService
  StrCpy $MasterWasRunning 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.r0'  ; SC_MANAGER_CONNECT
  ${If} $0 P<> 0
    ; SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP
    System::Call 'advapi32::OpenServiceW(p r0, w "${MASTER_SERVICE}", i 0x34) p.r1'
    ${If} $1 P<> 0
      System::Call '*(i, i, i, i, i, i, i) p.r2'  ; SERVICE_STATUS
      System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i.r3'
      System::Call '*$2(i, i .r4)'
      ${If} $3 <> 0
      ${AndIf} $4 <> 1  ; not SERVICE_STOPPED
        StrCpy $MasterWasRunning 1
        DetailPrint "Stopping the service ${MASTER_SERVICE} while its program is replaced"
        System::Call 'advapi32::ControlService(p r1, i 1, p r2) i.r3'
        StrCpy $5 0
        ${Do}
          Sleep 500
          System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i.r3'
          System::Call '*$2(i, i .r4)'
          IntOp $5 $5 + 1
          ${If} $4 = 1
          ${OrIf} $3 = 0
          ${OrIf} $5 >= 120
            ${Break}
          ${EndIf}
        ${Loop}
      ${EndIf}
      System::Free $2
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
!macroend

; Starts the master instance's service again.
!macro StartMasterService
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.r0'
  ${If} $0 P<> 0
    System::Call 'advapi32::OpenServiceW(p r0, w "${MASTER_SERVICE}", i 0x10) p.r1'  ; SERVICE_START
    ${If} $1 P<> 0
      DetailPrint "Starting the service ${MASTER_SERVICE} again"
      System::Call 'advapi32::StartServiceW(p r1, i 0, p 0) i.r3'
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
!macroend

; ---- Access list of the installation folder -----------------------------------------------------

; P: protected (nothing inherited from the parent); AI: set by inheritance rules; OICI: files and
; subdirectories inherit each entry. BA Administrators and SY SYSTEM: full control (FA);
; BU Users: read and execute (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE).
!define FOLDER_ACCESS "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"

; Gives $INSTDIR that access list; existing files and subdirectories lose what they inherited
; from the old one. A failure stops the installation before anything is installed: a folder
; that other users can write, holding programs that run as LocalSystem, is not installed into.
!macro RestrictInstallFolder
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${FOLDER_ACCESS}", i 1, *p .r1, p 0) i .r0 ?e'
  Pop $2  ; the last error
  ${If} $0 = 0
    StrCpy $0 $2
  ${Else}
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r3, *p .r4, *i .r5) i .r0 ?e'
    Pop $2
    ${If} $0 = 0
      StrCpy $0 $2
    ${Else}
      ; SE_FILE_OBJECT; DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION
      System::Call 'advapi32::SetNamedSecurityInfoW(w "$INSTDIR", i 1, i 0x80000004, p 0, p 0, p r4, p 0) i .r0'
    ${EndIf}
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
  ${If} $0 <> 0
  ${OrIf} $0 == "error"
    DetailPrint "Could not set the access rights of $INSTDIR (error $0)"
    MessageBox MB_ICONSTOP "Setup could not set the access rights of $INSTDIR (error $0).$\r$\n$\r$\nThe programs in this folder run as the Local System account, so only administrators may be able to change them. Nothing was installed." /SD IDOK
    Abort
  ${EndIf}
  DetailPrint "Set the access rights of $INSTDIR: Administrators and SYSTEM full control, Users read and execute"
!macroend

; ---- Install ------------------------------------------------------------------------------------

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} needs a 64-bit edition of Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Installing ${PRODUCT} needs administrator rights." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  !insertmacro RestrictInstallFolder
  !insertmacro StopMasterService

  File "${BIN_DIR}/VMDSMgr.exe"
  File "${BIN_DIR}/vmds.exe"
  File "${BIN_DIR}/vmdsremove.exe"
  File "/oname=README.txt" "${README}"
  ; The master file holds every instance and setting: an upgrade never replaces it.
  ${If} ${FileExists} "$INSTDIR\vmds.ini"
    DetailPrint "Kept the existing $INSTDIR\vmds.ini"
  ${Else}
    File "${BIN_DIR}/vmds.ini"
  ${EndIf}
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateDirectory "${START_MENU}"
  CreateShortcut "${START_MENU}\${MANAGER_TITLE}.lnk" "$INSTDIR\VMDSMgr.exe" "" \
      "$INSTDIR\VMDSMgr.exe" 0
  CreateShortcut "${START_MENU}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\VMDSMgr.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; Error, warning and information events (7).
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\vmds.exe"
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7

  ${If} $MasterWasRunning = 1
    !insertmacro StartMasterService
  ${EndIf}
SectionEnd

; ---- Uninstall ----------------------------------------------------------------------------------

Function un.onInit
  SetRegView 64
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Removing ${PRODUCT} needs administrator rights." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

; Whether the service named on the stack is still in the service database. A service that is
; marked for deletion counts as there: it stays until it has stopped and every handle to it is
; closed, at the latest until Windows restarts. Pushes 1 or 0.
Function un.ServiceStillThere
  Exch $R0
  Push $R1
  Push $R2
  StrCpy $R2 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.R1'
  ${If} $R1 P<> 0
    System::Call 'advapi32::OpenServiceW(p R1, w R0, i 4) p.R0'  ; SERVICE_QUERY_STATUS
    ${If} $R0 P<> 0
      StrCpy $R2 1
      System::Call 'advapi32::CloseServiceHandle(p R0)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p R1)'
  ${EndIf}
  StrCpy $R0 $R2
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; The service name of the instance named on the stack: "Daltrimore_VMDS_" and the name with
; blanks turned into "_". Pushes it.
Function un.ServiceNameOf
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  StrCpy $R1 ""
  StrCpy $R2 0
  ${Do}
    StrCpy $R3 $R0 1 $R2
    ${If} $R3 == ""
      ${Break}
    ${ElseIf} $R3 == " "
      StrCpy $R3 "_"
    ${EndIf}
    StrCpy $R1 "$R1$R3"
    IntOp $R2 $R2 + 1
  ${Loop}
  StrCpy $R0 "Daltrimore_VMDS_$R1"
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; Adds the service named on the stack to $Remaining when it is still registered.
Function un.NoteRemainingService
  Exch $R0
  Push $R1
  Push $R0
  Call un.ServiceStillThere
  Pop $R1
  ${If} $R1 = 1
    DetailPrint "The service $R0 is still registered"
    ${If} $Remaining == ""
      StrCpy $Remaining $R0
    ${Else}
      StrCpy $Remaining "$Remaining, $R0"
    ${EndIf}
  ${EndIf}
  Pop $R1
  Pop $R0
FunctionEnd

; Deletes the directory of the instance named in $R1 when it is really that instance's: a plain
; name (no path characters, not "." or ".."), a directory in $INSTDIR whose vmds.ini names it as
; that non-master instance, and a service that is gone. Anything else is left and reported.
Function un.RemoveInstanceDirectory
  ${If} $R1 == ""
    Return
  ${EndIf}
  StrCpy $R5 0  ; 1: the name holds a path character
  StrCpy $R2 0
  ${Do}
    StrCpy $R3 $R1 1 $R2
    ${If} $R3 == ""
      ${Break}
    ${EndIf}
    ${If} $R3 == "\"
    ${OrIf} $R3 == "/"
    ${OrIf} $R3 == ":"
      StrCpy $R5 1
    ${EndIf}
    IntOp $R2 $R2 + 1
  ${Loop}
  ${If} $R5 = 1
  ${OrIf} $R1 == "."
  ${OrIf} $R1 == ".."
    DetailPrint "Skipped the listed instance name $\"$R1$\": not a plain directory name"
    Return
  ${EndIf}
  StrCpy $R4 "$INSTDIR\$R1"
  ${IfNot} ${FileExists} "$R4\*.*"
    Return
  ${EndIf}
  ReadINIStr $R2 "$R4\vmds.ini" "${INSTANCE_SECTION}$R1" "InstanceName"
  ReadINIStr $R3 "$R4\vmds.ini" "${INSTANCE_SECTION}$R1" "MasterInstance"
  ${If} $R2 != $R1
  ${OrIf} $R3 != "False"
    DetailPrint "Left $R4: its vmds.ini does not name it as the instance $\"$R1$\""
    StrCpy $Left 1
    Return
  ${EndIf}
  Push $R1
  Call un.ServiceNameOf
  Pop $R5
  Push $R5
  Call un.ServiceStillThere
  Pop $R2
  ${If} $R2 = 1
    DetailPrint "Left $R4: the service $R5 could not be removed"
    StrCpy $Left 1
    Return
  ${EndIf}
  DetailPrint "Deleting the instance directory $R4"
  RMDir /r "$R4"
  ${If} ${FileExists} "$R4\*.*"
    DetailPrint "Could not delete everything in $R4"
    StrCpy $Left 1
  ${EndIf}
FunctionEnd

; Calls FUNCTION with each name in the master file's list ("%" between the names) in $R1.
!macro ForEachListedName FUNCTION
  StrCpy $R0 0
  StrCpy $R1 ""
  ${Do}
    StrCpy $R2 $Names 1 $R0
    ${If} $R2 == "%"
    ${OrIf} $R2 == ""
      Push $R0
      Push $R2
      Call ${FUNCTION}
      Pop $R2
      Pop $R0
      StrCpy $R1 ""
      ${If} $R2 == ""
        ${Break}
      ${EndIf}
    ${Else}
      StrCpy $R1 "$R1$R2"
    ${EndIf}
    IntOp $R0 $R0 + 1
  ${Loop}
!macroend

; Adds the service of the instance named in $R1 to $Remaining when it is still registered.
Function un.NoteListedService
  ${If} $R1 != ""
    Push $R1
    Call un.ServiceNameOf
    Call un.NoteRemainingService
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  StrCpy $Left 0
  StrCpy $Remaining ""
  ; The instance names, read before anything is touched.
  ReadINIStr $Names "$INSTDIR\vmds.ini" "${MASTER_SECTION}" "InstanceNamesList"

  ${If} ${FileExists} "$INSTDIR\vmdsremove.exe"
  ${AndIf} ${FileExists} "$INSTDIR\vmds.ini"
    DetailPrint "Stopping and deleting the services of every instance"
    nsExec::ExecToLog '"$INSTDIR\vmdsremove.exe" remove_all_services'
    Pop $0
    DetailPrint "vmdsremove.exe ended with $0"
  ${EndIf}

  ; A service that is still registered keeps its restart-on-failure actions: then everything
  ; stays as it is (the instances, vmds.ini, the manager, the removal tool, this uninstaller and
  ; the entry in Programs and Features), so that the removal can be finished later.
  !insertmacro ForEachListedName un.NoteListedService
  Push "${MASTER_SERVICE}"
  Call un.NoteRemainingService
  ${If} $Remaining != ""
    DetailPrint "Nothing else was removed: the services $Remaining are still registered. Restart Windows, then run the uninstaller again."
    MessageBox MB_ICONEXCLAMATION "These services of ${PRODUCT} are still registered: $Remaining.$\r$\n$\r$\nNothing else was removed: the instances, the Instance Manager, the removal tool and this uninstaller stay in $INSTDIR, and ${PRODUCT} stays in Programs and Features. Restart Windows, then run the uninstaller again to finish the removal." /SD IDOK
    SetErrorLevel 2
    Return
  ${EndIf}

  !insertmacro ForEachListedName un.RemoveInstanceDirectory
  Delete "$INSTDIR\vmds.exe"
  Delete "$INSTDIR\vmds.ini"
  Delete "$INSTDIR\vmds.log"  ; the master instance's log
  Delete "$INSTDIR\vmds.prom"  ; and its status file
  Delete "$INSTDIR\vmds.prom.tmp"
  Delete "$INSTDIR\VMDSMgr.exe"
  Delete "$INSTDIR\vmdsremove.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\Uninstall.exe"

  Delete "${START_MENU}\${MANAGER_TITLE}.lnk"
  Delete "${START_MENU}\Uninstall ${PRODUCT}.lnk"
  RMDir "${START_MENU}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"

  RMDir "$INSTDIR"  ; only when nothing is left in it
  ${If} ${FileExists} "$INSTDIR\*.*"
    DetailPrint "Left in $INSTDIR: files that Setup did not install"
    MessageBox MB_ICONINFORMATION "${PRODUCT} was removed. Files that Setup did not install were left in $INSTDIR; delete them yourself if you no longer need them." /SD IDOK
  ${EndIf}
SectionEnd
