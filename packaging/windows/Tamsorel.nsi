; The Tamsorel setup program, built on Linux with makensis:
;
;   makensis -DVERSION=1.0.0.1 -DSTAGE=DIR -DOUTFILE=SETUP.exe Tamsorel.nsi
;
; STAGE holds what is shipped: x86\Tamsorel.dll, x64\Tamsorel.dll, the
; command-line tool beside each (x86\tamsorel.exe, x64\tamsorel.exe),
; README.txt and LICENSE.txt.
;
; The release is a 32-bit program, so that it runs on every Windows.  For
; machines that cannot run 32-bit programs at all (where the project's
; tests fall back to it) the same script also makes a 64-bit setup that
; installs the x64 DLL only: -DTARGET=amd64-unicode -DX64_ONLY.
;
; The setup is per machine.  The x86 DLL is always installed and registered
; by the 32-bit regsvr32, so that its class lands in the 32-bit registry
; view; on 64-bit Windows the x64 DLL is installed too and registered by the
; 64-bit regsvr32 (file-system redirection off), which is what Explorer
; loads.  A failed registration undoes everything the setup did.
;
; Exit codes: 0 installed; 3010 installed, a DLL held by a running process
; is replaced at the next restart; 1 cancelled by the user; 2 failed, nothing
; left; 740 not run as administrator.

!ifndef VERSION
  !error "define VERSION, STAGE and OUTFILE (see the top of this file)"
!endif
!ifndef STAGE
  !error "define VERSION, STAGE and OUTFILE (see the top of this file)"
!endif
!ifndef OUTFILE
  !error "define VERSION, STAGE and OUTFILE (see the top of this file)"
!endif

Unicode true
!ifdef TARGET
  Target ${TARGET}
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh

!define PRODUCT "Tamsorel"
!define PUBLISHER "The Tamsorel developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tamsorel"
!define EXIT_FAILED 2
!define EXIT_REBOOT 3010
!define EXIT_NOT_ADMIN 740

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; $PROGRAMFILES64 is the 64-bit Program Files on 64-bit Windows and the only
; one on 32-bit Windows.  /D= replaces it.
InstallDir "$PROGRAMFILES64\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show
LicenseData "${STAGE}\LICENSE.txt"

; Version information of the setup program; the uninstaller is written from
; the same executable and carries it as well.
VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} thumbnail handler setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) ${PUBLISHER}, MIT licence"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Runs one regsvr32 and leaves its exit code in $R9 (a code of -1 means it
; could not be started).  BITS is 32 or 64; OPTIONS is "/s" or "/u /s".
; The 64-bit regsvr32 is in the 64-bit system folder, which a 32-bit setup
; sees as $SYSDIR only with file-system redirection off; the 32-bit one is
; in SysWOW64 on 64-bit Windows and in $SYSDIR on 32-bit Windows.
!macro RunRegsvr32 BITS OPTIONS DLL
  ClearErrors
  !if ${BITS} == 64
    ${DisableX64FSRedirection}
    ExecWait '"$SYSDIR\regsvr32.exe" ${OPTIONS} "${DLL}"' $R9
    ${If} ${Errors}
      StrCpy $R9 -1
    ${EndIf}
    ${EnableX64FSRedirection}
  !else
    ${If} ${RunningX64}
      ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" ${OPTIONS} "${DLL}"' $R9
    ${Else}
      ExecWait '"$SYSDIR\regsvr32.exe" ${OPTIONS} "${DLL}"' $R9
    ${EndIf}
    ${If} ${Errors}
      StrCpy $R9 -1
    ${EndIf}
  !endif
!macroend

!macro SetRegistryView
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
!macroend

!macro RequireAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "${PRODUCT} is installed for all users: run this program as administrator." /SD IDOK
    SetErrorLevel ${EXIT_NOT_ADMIN}
    Quit
  ${EndIf}
!macroend

Function .onInit
  SetShellVarContext all
  !insertmacro RequireAdmin
  !insertmacro SetRegistryView
FunctionEnd
; (A 64-bit setup runs on 64-bit Windows only, so X64_ONLY needs no check.)

Function un.onInit
  SetShellVarContext all
  !insertmacro RequireAdmin
  !insertmacro SetRegistryView
FunctionEnd

; Puts one DLL in place, and the command-line tool of the same bitness beside
; it.  The DLL is unpacked beside its destination first; a destination that
; cannot be deleted because a process has it loaded (as Explorer does) is
; replaced at the next restart, which sets the reboot flag.
!macro PlaceDll ARCH
  CreateDirectory "$INSTDIR\${ARCH}"
  SetOutPath "$INSTDIR\${ARCH}"
  File "/oname=Tamsorel.dll.new" "${STAGE}\${ARCH}\Tamsorel.dll"
  ClearErrors
  Delete "$INSTDIR\${ARCH}\Tamsorel.dll"
  ${If} ${Errors}
    DetailPrint "$INSTDIR\${ARCH}\Tamsorel.dll is in use: it is replaced when Windows restarts"
    Rename /REBOOTOK "$INSTDIR\${ARCH}\Tamsorel.dll.new" "$INSTDIR\${ARCH}\Tamsorel.dll"
  ${Else}
    Rename "$INSTDIR\${ARCH}\Tamsorel.dll.new" "$INSTDIR\${ARCH}\Tamsorel.dll"
  ${EndIf}
  File "${STAGE}\${ARCH}\tamsorel.exe"
!macroend

; Removes what the setup or a copy before it put in $INSTDIR.  The folders
; go only when they are empty, since /D= may name a folder that holds other
; files too.
!macro RemoveFiles
  Delete /REBOOTOK "$INSTDIR\x86\Tamsorel.dll"
  Delete "$INSTDIR\x86\Tamsorel.dll.new"
  Delete /REBOOTOK "$INSTDIR\x86\tamsorel.exe"
  Delete /REBOOTOK "$INSTDIR\x64\Tamsorel.dll"
  Delete "$INSTDIR\x64\Tamsorel.dll.new"
  Delete /REBOOTOK "$INSTDIR\x64\tamsorel.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR\x86"
  RMDir /REBOOTOK "$INSTDIR\x64"
  RMDir /REBOOTOK "$INSTDIR"
!macroend

; Unregisters both DLLs, each with the regsvr32 of its bitness, where they
; exist.  A DLL that refuses is reported; the rest goes on.
!macro UnregisterAll
  ${If} ${RunningX64}
  ${AndIf} ${FileExists} "$INSTDIR\x64\Tamsorel.dll"
    !insertmacro RunRegsvr32 64 "/u /s" "$INSTDIR\x64\Tamsorel.dll"
    DetailPrint "unregistered x64\Tamsorel.dll (regsvr32 exit code $R9)"
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\x86\Tamsorel.dll"
    !insertmacro RunRegsvr32 32 "/u /s" "$INSTDIR\x86\Tamsorel.dll"
    DetailPrint "unregistered x86\Tamsorel.dll (regsvr32 exit code $R9)"
  ${EndIf}
!macroend

; A registration failed: undo the registrations and the files, say why and
; leave with a non-zero exit code.
Function RollBack
  Pop $0  ; the DLL that failed
  Pop $1  ; regsvr32's exit code
  DetailPrint "registering $0 failed (regsvr32 exit code $1): undoing the installation"
  !insertmacro UnregisterAll
  SetOutPath "$TEMP"  ; a process's current folder cannot be removed
  !insertmacro RemoveFiles
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  MessageBox MB_ICONSTOP "${PRODUCT} could not be installed: registering $0 failed (regsvr32 exit code $1).$\r$\nNothing has been left installed." /SD IDOK
  SetErrorLevel ${EXIT_FAILED}
  Quit
FunctionEnd

!macro Register BITS ARCH
  !insertmacro RunRegsvr32 ${BITS} "/s" "$INSTDIR\${ARCH}\Tamsorel.dll"
  ${If} $R9 != 0
    Push $R9
    Push "${ARCH}\Tamsorel.dll"
    Call RollBack
  ${EndIf}
  DetailPrint "registered ${ARCH}\Tamsorel.dll with the ${BITS}-bit regsvr32"
!macroend

Section "Tamsorel"
  SetOverwrite on
  !ifndef X64_ONLY
    !insertmacro PlaceDll x86
  !endif
  ${If} ${RunningX64}
    !insertmacro PlaceDll x64
  ${EndIf}
  SetOutPath "$INSTDIR"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  !ifndef X64_ONLY
    !insertmacro Register 32 x86
  !endif
  ${If} ${RunningX64}
    !insertmacro Register 64 x64
  ${EndIf}

  ; Programs and Features.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ${If} ${RebootFlag}
    MessageBox MB_ICONINFORMATION "Tamsorel.dll is in use by a running program (usually Explorer). The new copy replaces it when Windows restarts." /SD IDOK
    SetErrorLevel ${EXIT_REBOOT}
  ${EndIf}
SectionEnd

Section "Uninstall"
  !insertmacro UnregisterAll
  !insertmacro RemoveFiles
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${If} ${RebootFlag}
    SetErrorLevel ${EXIT_REBOOT}
  ${EndIf}
SectionEnd
