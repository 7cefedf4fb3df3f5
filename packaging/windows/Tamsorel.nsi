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
; loads.
;
; There is only ever one install.  An existing one is found through its
; Programs and Features entry (the 64-bit registry view) and upgraded,
; repaired or downgraded where it is.  Folders are compared by one spelling
; of each (full path, long names, no "." or ".." segments, single
; backslashes, letter case ignored), and before a previous install is
; removed its record must show that it is not the folder just installed,
; so that no other spelling of the install folder counts as another
; folder.  /D= naming another folder moves the install:
; the new folder is installed and registered first, and the old one is
; unregistered and removed only after that succeeded.  An older setup run
; over a newer install asks first; with /S it refuses unless /DOWNGRADE is
; given.
;
; Replacing files: every file the setup puts in place that already exists
; is renamed aside first (Windows allows renaming a loaded DLL within its
; volume), so a DLL that Explorer holds never stops the new one from being
; registered at once.  The renamed copies are deleted when the install
; succeeded (at the next restart, or by the next setup, when still loaded);
; when anything fails, the new files go, the previous ones are renamed back
; and registered again, and the previous Programs and Features entry is
; left as it was.
;
; The setup installs only into a folder that is its own: a new or empty
; one, or one that holds a Tamsorel install (its Programs and Features
; entry names it, or its install-record.ini is there).  A folder with other
; files in it is refused, so the uninstaller, which removes only the files
; the setup lists and the folders it created, can never take a user's files
; with it.
;
; install-record.ini, beside the uninstaller, keeps the folders the setup
; created (so that parent folders made for /D= go on uninstall).  The
; uninstaller carries a copy of each DLL it installed: when an installed DLL
; is missing or cannot unregister itself, the copy does the unregistering.
;
; The uninstaller is meant to run in place and wait for itself
; (UninstallString and QuietUninstallString carry "_?=FOLDER"); it moves
; itself out of the folder when it is done.
;
; Every run appends what it does to %TEMP%\Tamsorel-setup.log.
;
; Exit codes: 0 installed (also when a running program still holds the
; previous DLL: it is deleted later); 3010 installed, but a file could only
; be replaced at the next restart; 1 cancelled by the user, or a silent
; downgrade without /DOWNGRADE; 2 failed: the message and the log's last
; line say what is installed and registered now (a previous install is
; kept as it was unless they say otherwise); 740 not run as administrator.
;
; Files the uninstaller can only delete at the next restart are listed in
; PendingFileRenameOperations, which other programs share: the setup removes
; from it only the entries an earlier uninstall of this folder recorded
; that it made, and leaves every other entry as it is.

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
!include WordFunc.nsh

!define PRODUCT "Tamsorel"
!define PUBLISHER "The Tamsorel developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tamsorel"
!define RECORD "install-record.ini"
!define LOG "$TEMP\Tamsorel-setup.log"
!define EXIT_CANCELLED 1
!define EXIT_FAILED 2
!define EXIT_REBOOT 3010
!define EXIT_NOT_ADMIN 740
; The longest name the setup puts inside the install folder: a DLL renamed
; aside.  Paths stay within MAX_PATH (259 characters and the terminator).
!define LONGEST_NAME "\x64\Tamsorel.dll.old9"
!define MAX_PATH_CHARS 259

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
Page directory "" "" LeaveDirectoryPage
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var OldDir        ; the existing install's folder, from its entry ("" for none)
Var OldVersion    ; its DisplayVersion
Var Moving        ; 1 when the install goes to another folder than OldDir
Var Restored      ; 1 once a failed install has put the previous one back
Var DParam        ; the folder /D= named, "" without /D=
Var Token         ; this run's mark in the install record
Var Registered    ; the DLLs the last RegisterDlls registered, for messages
Var RestoreProblems ; what undoing a failed install could not put back
Var FailText      ; the reason of a failure while it is being undone
Var Warnings      ; what went wrong without stopping the install

; ---------------------------------------------------------------------------
; Shared by the setup and the uninstaller.

; Appends a line to the log and shows it in the details.
!macro LogFunction PREFIX
  Function ${PREFIX}WriteLog
    Exch $0
    Push $1
    DetailPrint "$0"
    ClearErrors
    FileOpen $1 "${LOG}" a
    ${IfNot} ${Errors}
      FileSeek $1 0 END
      FileWrite $1 "$0$\r$\n"
      FileClose $1
    ${EndIf}
    ClearErrors
    Pop $1
    Pop $0
  FunctionEnd
!macroend
!insertmacro LogFunction ""
!insertmacro LogFunction "un."

!macro Log TEXT
  Push "${TEXT}"
  !ifdef __UNINSTALL__
    Call un.WriteLog
  !else
    Call WriteLog
  !endif
!macroend

; Replaces $R1, a full path that starts with a drive letter, by the one
; spelling of that place: ".", ".." and doubled backslashes resolved, the
; short (8.3) names of the folders that exist replaced by their long names,
; no trailing backslash.  (Letter case does not count: NSIS compares
; strings without it.)
!macro CanonicalPathFunction PREFIX
  Function ${PREFIX}CanonicalPath
    Push $0
    Push $1
    Push $2
    System::Call 'kernel32::GetFullPathNameW(w R1, i ${NSIS_MAX_STRLEN}, w .r0, p 0) i .r1'
    ${If} $1 > 0
    ${AndIf} $1 < ${NSIS_MAX_STRLEN}
      StrCpy $R1 $0
    ${EndIf}
    StrLen $1 $R1
    StrCpy $0 $R1 1 -1
    ${If} $0 == "\"
    ${AndIf} $1 > 3
      StrCpy $R1 $R1 -1
    ${EndIf}
    ; The longest part that exists gets its long names; the folders below
    ; it that do not exist yet are kept as written.
    StrCpy $2 ""
    ${Do}
      StrLen $1 $R1
      ${If} $1 <= 3
        StrCpy $R1 "$R1$2"
        ${Break}
      ${EndIf}
      System::Call 'kernel32::GetLongPathNameW(w R1, w .r0, i ${NSIS_MAX_STRLEN}) i .r1'
      ${If} $1 > 0
      ${AndIf} $1 < ${NSIS_MAX_STRLEN}
        StrCpy $R1 "$0$2"
        ${Break}
      ${EndIf}
      ; up one folder: the last "\" starts the name that is moved to $2
      StrLen $1 $R1
      ${Do}
        IntOp $1 $1 - 1
        ${If} $1 <= 2
          StrCpy $1 2
          ${Break}
        ${EndIf}
        StrCpy $0 $R1 1 $1
      ${LoopUntil} $0 == "\"
      StrCpy $0 $R1 "" $1
      StrCpy $R1 $R1 $1
      StrCpy $2 "$0$2"
    ${Loop}
    ClearErrors
    Pop $2
    Pop $1
    Pop $0
  FunctionEnd
!macroend
!insertmacro CanonicalPathFunction ""
!insertmacro CanonicalPathFunction "un."

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

; Deletes a file at the next restart without asking for one: for copies
; that are no longer used but still held by a running program.
!macro DeleteAtRestart PATH
  System::Call 'kernel32::MoveFileExW(w "${PATH}", p 0, i 4)'
!macroend

; Deletes PATH now; a file a running program holds is renamed aside to
; PATH.oldN and that copy deleted at the next restart.  Sets $R8 to 1 when
; the file could not be deleted or moved at all (it then goes at the next
; restart, which sets the reboot flag).
!macro RemoveFileFunction PREFIX
  Function ${PREFIX}RemoveFile
    Exch $0
    Push $1
    Push $2
    ClearErrors
    Delete "$0"
    ${If} ${Errors}
      StrCpy $2 1
      ${Do}
        ClearErrors
        StrCpy $1 "$0.old$2"
        ${IfNot} ${FileExists} "$1"
          Rename "$0" "$1"
          ${IfNot} ${Errors}
            !insertmacro DeleteAtRestart "$1"
            ${Break}
          ${EndIf}
        ${EndIf}
        IntOp $2 $2 + 1
        ${If} $2 > 9
          Delete /REBOOTOK "$0"
          StrCpy $R8 1
          ${Break}
        ${EndIf}
      ${Loop}
    ${EndIf}
    Pop $2
    Pop $1
    Pop $0
  FunctionEnd
!macroend
!insertmacro RemoveFileFunction ""
!insertmacro RemoveFileFunction "un."

!macro RemoveFile PATH
  Push "${PATH}"
  !ifdef __UNINSTALL__
    Call un.RemoveFile
  !else
    Call RemoveFile
  !endif
!macroend

; Deletes the renamed-aside copies FOLDER\NAME.old1 .. .old9 that nothing
; holds any more.
!macro DeleteAsideCopies PATH
  Push $0
  StrCpy $0 1
  ${Do}
    Delete "${PATH}.old$0"
    IntOp $0 $0 + 1
  ${LoopUntil} $0 > 9
  ClearErrors
  Pop $0
!macroend

; The files an install of DIR consists of, removed one by one: only these,
; never whatever else is in the folder.  Folders go when they are empty.
!macro RemoveInstalledFiles DIR
  !insertmacro RemoveFile "${DIR}\x86\Tamsorel.dll"
  !insertmacro RemoveFile "${DIR}\x86\tamsorel.exe"
  !insertmacro RemoveFile "${DIR}\x64\Tamsorel.dll"
  !insertmacro RemoveFile "${DIR}\x64\tamsorel.exe"
  ; The property schema the DLL writes beside itself when it registers (and
  ; deletes when it unregisters): left behind only when unregistering failed.
  Delete "${DIR}\x86\Tamsorel.propdesc"
  Delete "${DIR}\x64\Tamsorel.propdesc"
  Delete "${DIR}\x86\Tamsorel.dll.new"
  Delete "${DIR}\x64\Tamsorel.dll.new"
  !insertmacro DeleteAsideCopies "${DIR}\x86\Tamsorel.dll"
  !insertmacro DeleteAsideCopies "${DIR}\x64\Tamsorel.dll"
  !insertmacro DeleteAsideCopies "${DIR}\x86\tamsorel.exe"
  !insertmacro DeleteAsideCopies "${DIR}\x64\tamsorel.exe"
  Delete "${DIR}\README.txt"
  Delete "${DIR}\LICENSE.txt"
!macroend

; Removes FOLDER when empty, and then each folder install-record.ini of
; FOLDER says the setup created above it, deepest first, stopping at the
; first that is not empty.  The record must have been read into $R7 (count)
; beforehand, with entries Created1..N.
!macro RemoveFoldersFunction PREFIX
  Function ${PREFIX}RemoveFolders
    Exch $0  ; the record file (already read)
    Exch
    Exch $1  ; the install folder
    Push $2
    Push $3
    ClearErrors
    RMDir "$1\x86"
    RMDir "$1\x64"
    RMDir "$1"
    ReadINIStr $2 "$0" "folders" "count"
    ${If} ${FileExists} "$1\*.*"
      ; still holds something held open: it goes at the next restart
      ${If} ${FileExists} "$1\x86\*.*"
        !insertmacro DeleteAtRestart "$1\x86"
      ${EndIf}
      ${If} ${FileExists} "$1\x64\*.*"
        !insertmacro DeleteAtRestart "$1\x64"
      ${EndIf}
      !insertmacro DeleteAtRestart "$1"
      ${DoWhile} $2 > 0
        ReadINIStr $3 "$0" "folders" "created$2"
        ${If} $3 != ""
        ${AndIf} $3 != $1
          !insertmacro DeleteAtRestart "$3"
        ${EndIf}
        IntOp $2 $2 - 1
      ${Loop}
    ${ElseIf} $2 != ""
      ${DoWhile} $2 > 0
        ReadINIStr $3 "$0" "folders" "created$2"
        ${If} $3 != ""
        ${AndIf} $3 != $1
          ClearErrors
          RMDir "$3"
          ${If} ${Errors}
            ${Break}
          ${EndIf}
        ${EndIf}
        IntOp $2 $2 - 1
      ${Loop}
    ${EndIf}
    ClearErrors
    Pop $3
    Pop $2
    Pop $1
    Pop $0
  FunctionEnd
!macroend
!insertmacro RemoveFoldersFunction ""
!insertmacro RemoveFoldersFunction "un."

; ---------------------------------------------------------------------------
; The setup.

!macro Fail TEXT
  !insertmacro Log "failed: ${TEXT}"
  MessageBox MB_ICONSTOP "${PRODUCT} ${VERSION} could not be installed: ${TEXT}" /SD IDOK
  SetErrorLevel ${EXIT_FAILED}
  Quit
!macroend

; Undoes this run and fails with TEXT and what is installed now.
!macro FailRestoring TEXT
  StrCpy $FailText "${TEXT}"
  Call RestorePrevious
  Call RestoreOutcome
  !insertmacro Fail "$FailText. $R0"
!macroend

; Why $INSTDIR cannot be installed into, in $R0 ("" when it can).  Nothing
; is written.  Also records in $PLUGINSDIR\created.ini the folders the
; install will create, outermost first.
Function CheckInstallDir
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $R0 ""
  Delete "$PLUGINSDIR\created.ini"
  StrCpy $0 $INSTDIR 1 1
  StrCpy $1 $INSTDIR 1 2
  StrLen $2 $INSTDIR
  ${If} $0 == ":"
  ${AndIf} $2 <= 3
    StrCpy $R0 "$INSTDIR is the root of a drive; name a folder"
  ${ElseIf} $0 != ":"
  ${OrIf} $1 != "\"
    StrCpy $R0 "$INSTDIR is not a full path that starts with a drive letter"
  ${Else}
    StrCpy $0 $INSTDIR 3
    IntOp $3 $2 + 0
    StrLen $1 "${LONGEST_NAME}"
    IntOp $3 $3 + $1
    ${IfNot} ${FileExists} "$0*.*"
      StrCpy $R0 "drive $0 does not exist"
    ${ElseIf} $3 > ${MAX_PATH_CHARS}
      StrCpy $R0 "the path $INSTDIR is too long: files inside it would pass ${MAX_PATH_CHARS} characters"
    ${EndIf}
  ${EndIf}
  ${If} $R0 == ""
    ; The folder itself and each missing folder above it: the first one
    ; that exists must be a folder.
    StrCpy $0 $INSTDIR
    StrCpy $3 0
    ${Do}
      ${If} ${FileExists} "$0\*.*"
        ${Break}
      ${ElseIf} ${FileExists} "$0"
        StrCpy $R0 "$0 is a file, not a folder"
        ${Break}
      ${EndIf}
      IntOp $3 $3 + 1
      WriteINIStr "$PLUGINSDIR\created.ini" "up" "$3" "$0"
      ${GetParent} "$0" $0
      StrLen $1 $0
      ${If} $1 <= 2
        ${Break}
      ${EndIf}
    ${Loop}
    ; outermost first
    StrCpy $1 1
    ${DoWhile} $3 > 0
      ReadINIStr $2 "$PLUGINSDIR\created.ini" "up" "$3"
      WriteINIStr "$PLUGINSDIR\created.ini" "folders" "created$1" "$2"
      WriteINIStr "$PLUGINSDIR\created.ini" "folders" "count" "$1"
      IntOp $1 $1 + 1
      IntOp $3 $3 - 1
    ${Loop}
  ${EndIf}
  ${If} $R0 == ""
  ${AndIf} ${FileExists} "$INSTDIR\*.*"
  ${AndIfNot} ${FileExists} "$INSTDIR\${RECORD}"
  ${AndIf} $INSTDIR != $OldDir
    ; Not a Tamsorel install: only an empty folder will do.
    FindFirst $0 $1 "$INSTDIR\*.*"
    ${DoWhile} $1 != ""
      ${If} $1 != "."
      ${AndIf} $1 != ".."
        StrCpy $R0 "$INSTDIR holds other files ($1 ...); choose a new or empty folder"
        ${Break}
      ${EndIf}
      FindNext $0 $1
    ${Loop}
    FindClose $0
  ${EndIf}
  ClearErrors
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; CanonicalPath for a path in $R1 that starts with a drive letter; any
; other is left for CheckInstallDir to refuse as written.
Function CanonicalPathIfFull
  Push $0
  StrCpy $0 $R1 2 1
  ${If} $0 == ":\"
    Call CanonicalPath
  ${EndIf}
  Pop $0
FunctionEnd

Function LeaveDirectoryPage
  StrCpy $R1 $INSTDIR
  Call CanonicalPathIfFull
  StrCpy $INSTDIR $R1
  Call CheckInstallDir
  ${If} $R0 != ""
    MessageBox MB_ICONEXCLAMATION "$R0"
    Abort
  ${EndIf}
FunctionEnd

Function .onInit
  SetShellVarContext all
  !insertmacro RequireAdmin
  !insertmacro SetRegistryView
  InitPluginsDir
  !insertmacro Log "${PRODUCT} ${VERSION} setup: $CMDLINE"
  ReadRegStr $OldDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $OldVersion HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  ClearErrors
  ; /D= as given: the program's own command line still holds it ($CMDLINE
  ; does not), also when it named a folder the setup would not take and
  ; $INSTDIR silently stayed the default.
  System::Call 'kernel32::GetCommandLineW() w .r0'
  ${WordFind} "$0" " /D=" "E-1}" $DParam
  ${If} ${Errors}
    StrCpy $DParam ""
  ${EndIf}
  ClearErrors
  ; An entry written by an earlier setup may name the folder by another
  ; spelling of it.
  StrCpy $R1 $OldDir
  Call CanonicalPathIfFull
  StrCpy $OldDir $R1
  ${If} $DParam != ""
    StrCpy $INSTDIR $DParam
  ${ElseIf} $OldDir != ""
    ; Without /D= an existing install is updated where it is.
    StrCpy $INSTDIR $OldDir
  ${EndIf}
  StrCpy $R1 $INSTDIR
  Call CanonicalPathIfFull
  StrCpy $INSTDIR $R1
  System::Call 'ole32::CoCreateGuid(g .s)'
  Pop $Token
  ${If} $OldVersion != ""
    ${VersionCompare} "$OldVersion" "${VERSION}" $0
    ${If} $0 == 1
      ${GetParameters} $1
      ClearErrors
      ${GetOptions} "$1" "/DOWNGRADE" $2
      ${If} ${Errors}
        ${If} ${Silent}
          !insertmacro Log "refused: ${PRODUCT} $OldVersion is installed, newer than ${VERSION} (/DOWNGRADE replaces it)"
          SetErrorLevel ${EXIT_CANCELLED}
          Quit
        ${EndIf}
        MessageBox MB_YESNO|MB_ICONQUESTION "${PRODUCT} $OldVersion is installed, newer than this setup's ${VERSION}.$\r$\nReplace it with the older version?" IDYES downgrade_confirmed
        !insertmacro Log "cancelled: ${PRODUCT} $OldVersion is newer than ${VERSION}"
        SetErrorLevel ${EXIT_CANCELLED}
        Quit
        downgrade_confirmed:
      ${EndIf}
      !insertmacro Log "downgrading ${PRODUCT} $OldVersion to ${VERSION}"
    ${EndIf}
  ${EndIf}
  ${If} ${Silent}
    Call CheckInstallDir
    ${If} $R0 != ""
      !insertmacro Fail "$R0"
    ${EndIf}
  ${EndIf}
FunctionEnd
; (A 64-bit setup runs on 64-bit Windows only, so X64_ONLY needs no check.)

; Whether the path in $R1 (as written in PendingFileRenameOperations, with
; "\??\" in front) is one that an earlier uninstall recorded in
; $PLUGINSDIR\record.ini as left for deletion at the next restart: $R2 is 1
; when it is.
Function IsRecordedPending
  Push $0
  Push $1
  StrCpy $R2 0
  StrCpy $0 $R1 4
  ${If} $0 == "\??\"
    StrCpy $R1 $R1 "" 4
    ReadINIStr $1 "$PLUGINSDIR\record.ini" "pending" "count"
    ${DoWhile} $1 > 0
      ReadINIStr $0 "$PLUGINSDIR\record.ini" "pending" "path$1"
      ${If} $0 != ""
      ${AndIf} $0 == $R1
        StrCpy $R2 1
        ${Break}
      ${EndIf}
      IntOp $1 $1 - 1
    ${Loop}
  ${EndIf}
  ClearErrors
  Pop $1
  Pop $0
FunctionEnd

; An earlier uninstall that could not delete everything (a running program
; held a file) left the install record and the like to be deleted at the
; next restart, and recorded which: the restart must not take what this
; install puts back.  Drops exactly those deletions from
; PendingFileRenameOperations; every other entry, other programs' among
; them, is copied as it is.  A value that is not a well-formed list of
; pairs is left alone.
Function CancelPendingOperations
  ; $0 key, $1 status, $2 type, $3 size, $4 buffer, $5 output, $6 read,
  ; $7 write, $8 end, $9 pair length, $R3 removed, $R4 first string
  ; recorded, $R5 second string, $R6 its length
  ReadINIStr $1 "$PLUGINSDIR\record.ini" "pending" "count"
  ${If} $1 == ""
    Return
  ${EndIf}
  System::Call 'advapi32::RegOpenKeyExW(p -2147483646, w "SYSTEM\CurrentControlSet\Control\Session Manager", i 0, i 0x103, *p .r0) i .r1'
  ${If} $1 != 0
    Return
  ${EndIf}
  System::Call 'advapi32::RegQueryValueExW(p r0, w "PendingFileRenameOperations", p 0, *i .r2, p 0, *i .r3) i .r1'
  IntOp $9 $3 % 2
  ${If} $1 != 0
  ${OrIf} $2 != 7
  ${OrIf} $9 != 0
  ${OrIf} $3 < 4
    System::Call 'advapi32::RegCloseKey(p r0)'
    Return
  ${EndIf}
  ; Zero-filled, with room for two more terminators than the value has.
  IntOp $3 $3 + 4
  System::Alloc $3
  Pop $4
  System::Alloc $3
  Pop $5
  System::Call 'advapi32::RegQueryValueExW(p r0, w "PendingFileRenameOperations", p 0, *i .r2, p r4, *i r3 r3) i .r1'
  StrCpy $R3 0
  ${If} $1 == 0
    StrCpy $6 $4
    StrCpy $7 $5
    IntPtrOp $8 $4 + $3   ; the value's end: past it only the terminators
    ${Do}
      ${If} $6 P>= $8
        ${Break}
      ${EndIf}
      System::Call 'kernel32::lstrlenW(p r6) i .r9'
      ${If} $9 == 0
        ${Break}  ; the empty string that ends the list
      ${EndIf}
      ; a pair: source, then destination ("" to delete)
      IntOp $9 $9 + 1
      IntOp $9 $9 * 2
      IntPtrOp $R5 $6 + $9
      ${If} $R5 P>= $8
        StrCpy $1 "a source without a destination"
        ${Break}
      ${EndIf}
      System::Call 'kernel32::lstrlenW(p R5) i .R6'
      StrCpy $R4 0
      ${If} $R6 == 0
      ${AndIf} $9 < 1024
        System::Call 'kernel32::lstrcpynW(w .R1, p r6, i 600)'
        Call IsRecordedPending
        StrCpy $R4 $R2
      ${EndIf}
      IntOp $R6 $R6 + 1
      IntOp $R6 $R6 * 2
      IntOp $9 $9 + $R6
      ${If} $R4 == 1
        IntOp $R3 $R3 + 1
      ${Else}
        System::Call 'kernel32::RtlMoveMemory(p r7, p r6, p r9)'
        IntPtrOp $7 $7 + $9
      ${EndIf}
      IntPtrOp $6 $6 + $9
    ${Loop}
    ${If} $1 != 0
      !insertmacro Log "PendingFileRenameOperations is left as it is: $1"
    ${ElseIf} $R3 > 0
      System::Call '*$7(&i2 0)'
      IntPtrOp $9 $7 - $5
      ${If} $9 == 0
        System::Call 'advapi32::RegDeleteValueW(p r0, w "PendingFileRenameOperations") i .r1'
      ${Else}
        IntOp $9 $9 + 2
        System::Call 'advapi32::RegSetValueExW(p r0, w "PendingFileRenameOperations", i 0, i 7, p r5, i r9) i .r1'
      ${EndIf}
      !insertmacro Log "cancelled $R3 deletions an earlier uninstall had left for the next restart (status $1)"
    ${EndIf}
  ${EndIf}
  System::Free $4
  System::Free $5
  System::Call 'advapi32::RegCloseKey(p r0)'
FunctionEnd

; Puts one file of the release at $INSTDIR\RELATIVE.  An existing file is
; renamed aside first and its new name kept in $PLUGINSDIR\aside.ini, so
; that a failure can put it back and success can delete it.
!macro PlaceFile SOURCE RELATIVE
  StrCpy $R1 "$INSTDIR\${RELATIVE}"
  Call RenameAside
  File "/oname=$INSTDIR\${RELATIVE}" "${SOURCE}"
  ${If} ${Errors}
    !insertmacro FailRestoring "cannot write $INSTDIR\${RELATIVE}"
  ${EndIf}
  WriteINIStr "$PLUGINSDIR\aside.ini" "placed" "${RELATIVE}" "1"
!macroend

; Renames $R1 aside when it exists; fails the install when it cannot.
Function RenameAside
  Push $0
  Push $1
  !insertmacro DeleteAsideCopies "$R1"
  ${If} ${FileExists} "$R1"
    StrCpy $1 1
    ${Do}
      ClearErrors
      StrCpy $0 "$R1.old$1"
      ${IfNot} ${FileExists} "$0"
        Rename "$R1" "$0"
        ${IfNot} ${Errors}
          WriteINIStr "$PLUGINSDIR\aside.ini" "aside" "$R1" "$0"
          ${Break}
        ${EndIf}
      ${EndIf}
      IntOp $1 $1 + 1
      ${If} $1 > 9
        !insertmacro FailRestoring "cannot replace $R1 (it cannot be renamed)"
      ${EndIf}
    ${Loop}
  ${EndIf}
  ClearErrors
  Pop $1
  Pop $0
FunctionEnd

; Puts back one file that RenameAside moved, and removes the new one.
!macro PutBack RELATIVE
  ReadINIStr $0 "$PLUGINSDIR\aside.ini" "placed" "${RELATIVE}"
  ${If} $0 == "1"
    !insertmacro RemoveFile "$INSTDIR\${RELATIVE}"
  ${EndIf}
  ReadINIStr $0 "$PLUGINSDIR\aside.ini" "aside" "$INSTDIR\${RELATIVE}"
  ${If} $0 != ""
    ClearErrors
    Rename "$0" "$INSTDIR\${RELATIVE}"
    ${If} ${Errors}
      !insertmacro Log "cannot put back $INSTDIR\${RELATIVE} from $0"
      ${If} ${FileExists} "$0"
        StrCpy $RestoreProblems "$RestoreProblems; the previous ${RELATIVE} could not be put back and is $0"
      ${Else}
        StrCpy $RestoreProblems "$RestoreProblems; the previous ${RELATIVE} could not be put back: $0 is gone"
      ${EndIf}
    ${Else}
      StrCpy $Restored 1
    ${EndIf}
  ${EndIf}
  ClearErrors
!macroend

!macro ForEachFile MACRO
  !ifndef X64_ONLY
    !insertmacro ${MACRO} "x86\Tamsorel.dll"
    !insertmacro ${MACRO} "x86\tamsorel.exe"
  !endif
  !insertmacro ${MACRO} "x64\Tamsorel.dll"
  !insertmacro ${MACRO} "x64\tamsorel.exe"
  !insertmacro ${MACRO} "README.txt"
  !insertmacro ${MACRO} "LICENSE.txt"
  !insertmacro ${MACRO} "uninstall.exe"
  !insertmacro ${MACRO} "${RECORD}"
!macroend

; Registers (OPTIONS "/s") or unregisters ("/u /s") the DLLs in DIR, the
; x86 one with the 32-bit regsvr32 and the x64 one with the 64-bit one.
; $R9: the first non-zero exit code, $R6 the DLL it came from; $Registered
; the DLLs whose regsvr32 succeeded, by full path.
!macro RegisterDlls DIR OPTIONS
  StrCpy $R6 ""
  StrCpy $R5 0
  StrCpy $Registered ""
  !ifndef X64_ONLY
    ${If} ${FileExists} "${DIR}\x86\Tamsorel.dll"
      !insertmacro RunRegsvr32 32 "${OPTIONS}" "${DIR}\x86\Tamsorel.dll"
      !insertmacro Log "regsvr32 ${OPTIONS} ${DIR}\x86\Tamsorel.dll (32-bit): exit code $R9"
      ${If} $R9 != 0
        StrCpy $R6 "x86\Tamsorel.dll"
        StrCpy $R5 $R9
      ${Else}
        StrCpy $Registered "${DIR}\x86\Tamsorel.dll"
      ${EndIf}
    ${EndIf}
  !endif
  ${If} ${RunningX64}
  ${AndIf} ${FileExists} "${DIR}\x64\Tamsorel.dll"
    !insertmacro RunRegsvr32 64 "${OPTIONS}" "${DIR}\x64\Tamsorel.dll"
    !insertmacro Log "regsvr32 ${OPTIONS} ${DIR}\x64\Tamsorel.dll (64-bit): exit code $R9"
    ${If} $R9 != 0
      ${If} $R6 == ""
        StrCpy $R6 "x64\Tamsorel.dll"
        StrCpy $R5 $R9
      ${EndIf}
    ${ElseIf} $Registered == ""
      StrCpy $Registered "${DIR}\x64\Tamsorel.dll"
    ${Else}
      StrCpy $Registered "$Registered and ${DIR}\x64\Tamsorel.dll"
    ${EndIf}
  ${EndIf}
  StrCpy $R9 $R5
!macroend

; Undoes this run: the new DLLs are unregistered and removed, the previous
; files renamed back and their DLLs registered again.  The Programs and
; Features entry has not been written yet and stays as it was.  What could
; not be put back is collected in $RestoreProblems, and $Registered names
; the DLLs registered again.
Function RestorePrevious
  !insertmacro Log "undoing this installation"
  SetOutPath "$TEMP"  ; a process's current folder cannot be removed
  !insertmacro RegisterDlls "$INSTDIR" "/u /s"
  StrCpy $Registered ""
  StrCpy $Restored 0
  StrCpy $RestoreProblems ""
  !insertmacro ForEachFile PutBack
  ${If} $Restored == 1
    !insertmacro Log "the previous files are back; registering them again"
    !insertmacro RegisterDlls "$INSTDIR" "/s"
    ${If} $R9 != 0
      StrCpy $RestoreProblems "$RestoreProblems; registering the previous $INSTDIR\$R6 again failed (regsvr32 exit code $R9)"
    ${EndIf}
  ${EndIf}
  ${If} $Moving == 1
    ; Both installs register the same classes: the one that stays does it
    ; again.
    !insertmacro Log "registering the install in $OldDir again"
    !insertmacro RegisterDlls "$OldDir" "/s"
    ${If} $R9 != 0
      StrCpy $RestoreProblems "$RestoreProblems; registering $OldDir\$R6 again failed (regsvr32 exit code $R9)"
    ${EndIf}
  ${EndIf}
  ; Folders this run created, deepest first.
  ${If} ${FileExists} "$PLUGINSDIR\created.ini"
    Push "$INSTDIR"
    Push "$PLUGINSDIR\created.ini"
    Call RemoveFolders
  ${EndIf}
FunctionEnd

; After RestorePrevious: the sentence that says what is installed and
; registered now, in $R0.
Function RestoreOutcome
  Push $0
  StrCpy $0 "the previous version ($OldVersion)"
  ${If} $OldVersion == ""
    StrCpy $0 "the previous install"
  ${EndIf}
  ${If} $RestoreProblems != ""
    StrCpy $R0 $RestoreProblems "" 2
    ${If} $Registered == ""
      StrCpy $R0 "$R0; no ${PRODUCT} DLL is registered now"
    ${Else}
      StrCpy $R0 "$R0; registered now: $Registered"
    ${EndIf}
    StrCpy $R0 "Undoing it did not put $0 back whole: $R0. Run a setup again to repair it."
  ${ElseIf} $Restored == 1
  ${OrIf} $Moving == 1
    StrCpy $R0 "The previous version ($OldVersion) is kept."
    ${If} $OldVersion == ""
      StrCpy $R0 "The previous install is kept."
    ${EndIf}
  ${Else}
    StrCpy $R0 "Nothing has been left installed."
  ${EndIf}
  Pop $0
FunctionEnd

; Removes the install the setup moved away from: its registration first
; (the caller registers the new one again afterwards, since both register
; the same classes), then its files and the folders its record lists.
Function RemoveOldInstall
  !insertmacro Log "removing the previous install in $OldDir"
  SetOutPath "$TEMP"
  !insertmacro RegisterDlls "$OldDir" "/u /s"
  StrCpy $R8 0
  !insertmacro RemoveInstalledFiles "$OldDir"
  !insertmacro RemoveFile "$OldDir\uninstall.exe"
  ${If} ${FileExists} "$OldDir\${RECORD}"
    CopyFiles /SILENT "$OldDir\${RECORD}" "$PLUGINSDIR\old-record.ini"
    Delete "$OldDir\${RECORD}"
  ${EndIf}
  Push "$OldDir"
  Push "$PLUGINSDIR\old-record.ini"
  Call RemoveFolders
FunctionEnd

; The Programs and Features entry of the install in $INSTDIR.
Function WriteEntry
  Push $0
  Push $1
  Push $2
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

Section "Tamsorel"
  SetOverwrite on
  StrCpy $Moving 0
  ${If} $OldDir != ""
  ${AndIf} $OldDir != $INSTDIR
    StrCpy $Moving 1
  ${EndIf}
  !insertmacro Log "installing ${PRODUCT} ${VERSION} into $INSTDIR (previous: '$OldVersion' in '$OldDir')"
  Call CheckInstallDir
  ${If} $R0 != ""
    !insertmacro Fail "$R0"
  ${EndIf}
  ; The folders this install creates, kept with an existing record's.
  Delete "$PLUGINSDIR\record.ini"
  ${If} ${FileExists} "$INSTDIR\${RECORD}"
    CopyFiles /SILENT "$INSTDIR\${RECORD}" "$PLUGINSDIR\record.ini"
  ${ElseIf} ${FileExists} "$PLUGINSDIR\created.ini"
    CopyFiles /SILENT "$PLUGINSDIR\created.ini" "$PLUGINSDIR\record.ini"
  ${EndIf}
  ${If} ${FileExists} "$PLUGINSDIR\created.ini"
    !insertmacro Log "creating $INSTDIR"
  ${EndIf}
  ClearErrors
  CreateDirectory "$INSTDIR"
  ${If} ${Errors}
    !insertmacro FailRestoring "cannot create $INSTDIR"
  ${EndIf}
  Call CancelPendingOperations
  DeleteINISec "$PLUGINSDIR\record.ini" "pending"

  !ifndef X64_ONLY
    CreateDirectory "$INSTDIR\x86"
    !insertmacro PlaceFile "${STAGE}\x86\Tamsorel.dll" "x86\Tamsorel.dll"
    !insertmacro PlaceFile "${STAGE}\x86\tamsorel.exe" "x86\tamsorel.exe"
  !endif
  ${If} ${RunningX64}
    CreateDirectory "$INSTDIR\x64"
    !insertmacro PlaceFile "${STAGE}\x64\Tamsorel.dll" "x64\Tamsorel.dll"
    !insertmacro PlaceFile "${STAGE}\x64\tamsorel.exe" "x64\tamsorel.exe"
  ${EndIf}
  !insertmacro PlaceFile "${STAGE}\README.txt" "README.txt"
  !insertmacro PlaceFile "${STAGE}\LICENSE.txt" "LICENSE.txt"
  StrCpy $R1 "$INSTDIR\uninstall.exe"
  Call RenameAside
  ClearErrors
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    !insertmacro FailRestoring "cannot write $INSTDIR\uninstall.exe"
  ${EndIf}
  WriteINIStr "$PLUGINSDIR\aside.ini" "placed" "uninstall.exe" "1"
  StrCpy $R1 "$INSTDIR\${RECORD}"
  Call RenameAside
  CopyFiles /SILENT "$PLUGINSDIR\record.ini" "$INSTDIR\${RECORD}"
  WriteINIStr "$PLUGINSDIR\aside.ini" "placed" "${RECORD}" "1"
  WriteINIStr "$INSTDIR\${RECORD}" "install" "version" "${VERSION}"
  WriteINIStr "$INSTDIR\${RECORD}" "install" "token" "$Token"
  FlushINI "$INSTDIR\${RECORD}"
  ClearErrors
  ${IfNot} ${FileExists} "$INSTDIR\${RECORD}"
    !insertmacro FailRestoring "cannot write $INSTDIR\${RECORD}"
  ${EndIf}

  ; The previous version's registration goes first (from its renamed-aside
  ; files), so that only what the new one registers is left.
  !ifndef X64_ONLY
    ReadINIStr $0 "$PLUGINSDIR\aside.ini" "aside" "$INSTDIR\x86\Tamsorel.dll"
    ${If} $0 != ""
      !insertmacro RunRegsvr32 32 "/u /s" "$0"
      !insertmacro Log "regsvr32 /u /s $0 (the previous x86 DLL): exit code $R9"
      ${If} $R9 != 0
        StrCpy $Warnings "$Warnings; the previous x86\Tamsorel.dll could not remove its registration (regsvr32 exit code $R9)"
      ${EndIf}
    ${EndIf}
  !endif
  ReadINIStr $0 "$PLUGINSDIR\aside.ini" "aside" "$INSTDIR\x64\Tamsorel.dll"
  ${If} $0 != ""
  ${AndIf} ${RunningX64}
    !insertmacro RunRegsvr32 64 "/u /s" "$0"
    !insertmacro Log "regsvr32 /u /s $0 (the previous x64 DLL): exit code $R9"
    ${If} $R9 != 0
      StrCpy $Warnings "$Warnings; the previous x64\Tamsorel.dll could not remove its registration (regsvr32 exit code $R9)"
    ${EndIf}
  ${EndIf}
  ClearErrors
  !insertmacro RegisterDlls "$INSTDIR" "/s"
  ${If} $R9 != 0
    !insertmacro FailRestoring "registering $R6 failed (regsvr32 exit code $R9)"
  ${EndIf}

  ; Another spelling of this very folder (a junction, a substituted drive)
  ; holds the record just written: it is not a previous install to remove.
  ${If} $Moving == 1
    ReadINIStr $0 "$OldDir\${RECORD}" "install" "token"
    ${If} $0 == $Token
      !insertmacro Log "$OldDir is $INSTDIR by another name: nothing to move"
      StrCpy $Moving 0
    ${EndIf}
  ${EndIf}
  ${If} $Moving == 1
    Call RemoveOldInstall
    !insertmacro RegisterDlls "$INSTDIR" "/s"
    ${If} $R9 != 0
      ; The previous install is gone: this one stays, with its entry, to be
      ; repaired by running the setup again.
      StrCpy $0 $R6
      StrCpy $1 $R9
      Call WriteEntry
      !insertmacro Fail "registering $INSTDIR\$0 again after removing the previous install in $OldDir failed (regsvr32 exit code $1). The files are in $INSTDIR; registered: $Registered. Run this setup again to repair the install."
    ${EndIf}
  ${EndIf}

  ; The previous files: gone now, or at the next restart while a running
  ; program still holds them (the next setup deletes them too).
  StrCpy $3 0
  !macro DropAside RELATIVE
    ReadINIStr $0 "$PLUGINSDIR\aside.ini" "aside" "$INSTDIR\${RELATIVE}"
    ${If} $0 != ""
      ClearErrors
      Delete "$0"
      ${If} ${Errors}
        !insertmacro DeleteAtRestart "$0"
        StrCpy $3 1
        !insertmacro Log "$0 (the previous $INSTDIR\${RELATIVE}) is in use: it is deleted later"
      ${EndIf}
    ${EndIf}
  !macroend
  !insertmacro ForEachFile DropAside
  ClearErrors

  Call WriteEntry
  ${If} $Warnings != ""
    StrCpy $Warnings $Warnings "" 2
    !insertmacro Log "warning: $Warnings; what only it registered may remain"
    MessageBox MB_ICONEXCLAMATION "${PRODUCT} ${VERSION} is installed, but $Warnings: what only the previous version registered may remain." /SD IDOK
  ${EndIf}
  !insertmacro Log "installed ${PRODUCT} ${VERSION} in $INSTDIR"

  ${If} $3 == 1
    !insertmacro Log "a running program holds the previous version: Explorer shows the new version after it restarts or you sign in again"
    MessageBox MB_ICONINFORMATION "${PRODUCT} ${VERSION} is installed. Explorer shows the new version after it restarts or you sign in again." /SD IDOK
  ${EndIf}
  ${If} ${RebootFlag}
    SetErrorLevel ${EXIT_REBOOT}
  ${EndIf}
SectionEnd

; ---------------------------------------------------------------------------
; The uninstaller.

Function un.onInit
  SetShellVarContext all
  !insertmacro RequireAdmin
  !insertmacro SetRegistryView
FunctionEnd

; Unregisters one DLL: the installed file when it is there and unregisters;
; otherwise the copy the uninstaller carries, so that a damaged install
; still loses every registration.
!macro UnregisterDll BITS ARCH
  StrCpy $R9 1
  ${If} ${FileExists} "$INSTDIR\${ARCH}\Tamsorel.dll"
    !insertmacro RunRegsvr32 ${BITS} "/u /s" "$INSTDIR\${ARCH}\Tamsorel.dll"
    !insertmacro Log "regsvr32 /u $INSTDIR\${ARCH}\Tamsorel.dll: exit code $R9"
  ${EndIf}
  ${If} $R9 != 0
    ; The copy goes where the DLL was: what it registered (the type
    ; library) is found again by that path.
    !insertmacro RemoveFile "$INSTDIR\${ARCH}\Tamsorel.dll"
    StrCpy $0 "$INSTDIR\${ARCH}"
    CreateDirectory "$0"
    ClearErrors
    SetOutPath "$0"
    File "${STAGE}\${ARCH}\Tamsorel.dll"
    ${If} ${Errors}
      StrCpy $0 "$PLUGINSDIR\${ARCH}"
      SetOutPath "$0"
      File "${STAGE}\${ARCH}\Tamsorel.dll"
    ${EndIf}
    !insertmacro RunRegsvr32 ${BITS} "/u /s" "$0\Tamsorel.dll"
    !insertmacro Log "regsvr32 /u with the uninstaller's copy of ${ARCH}\Tamsorel.dll: exit code $R9"
    SetOutPath "$TEMP"
    Delete "$0\Tamsorel.dll"
  ${EndIf}
!macroend

; Notes in the record it leaves behind that the uninstaller left PATH to
; be deleted at the next restart, so that a setup run before then can take
; exactly that entry back.
!macro RecordPending PATH
  ReadINIStr $R0 "$PLUGINSDIR\record.ini" "pending" "count"
  IntOp $R0 $R0 + 1
  WriteINIStr "$PLUGINSDIR\record.ini" "pending" "path$R0" "${PATH}"
  WriteINIStr "$PLUGINSDIR\record.ini" "pending" "count" "$R0"
  FlushINI "$PLUGINSDIR\record.ini"
!macroend

Section "Uninstall"
  InitPluginsDir
  !insertmacro Log "${PRODUCT} ${VERSION} uninstaller: $CMDLINE"
  SetOutPath "$TEMP"
  ; Only the install the entry names owns the registration: a stray copy
  ; elsewhere removes its own files and nothing else.
  ReadRegStr $OldDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ClearErrors
  ; Either may be written by another spelling of the same folder.
  ${If} $OldDir != ""
    StrCpy $R1 $OldDir
    Call un.CanonicalPath
    StrCpy $OldDir $R1
  ${EndIf}
  StrCpy $R1 $INSTDIR
  Call un.CanonicalPath
  StrCpy $INSTDIR $R1
  ${If} $OldDir == ""
  ${OrIf} $OldDir == $INSTDIR
    !ifndef X64_ONLY
      !insertmacro UnregisterDll 32 x86
    !endif
    ${If} ${RunningX64}
      !insertmacro UnregisterDll 64 x64
    ${EndIf}
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${Else}
    !insertmacro Log "$OldDir holds the registered install: $INSTDIR only loses its files"
  ${EndIf}
  StrCpy $R8 0
  !insertmacro RemoveInstalledFiles "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\${RECORD}"
    CopyFiles /SILENT "$INSTDIR\${RECORD}" "$PLUGINSDIR\record.ini"
    Delete "$INSTDIR\${RECORD}"
  ${EndIf}
  ; This program runs from the folder: it moves itself out (Windows allows
  ; renaming a running program), to be deleted at the next restart; where
  ; that fails it is deleted in place then, with the folder.  Nothing else
  ; is left, so no restart is asked for.
  ClearErrors
  Delete "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    GetTempFileName $0
    Delete "$0"
    ClearErrors
    Rename "$INSTDIR\uninstall.exe" "$0"
    ${If} ${Errors}
      StrCpy $0 "$INSTDIR\uninstall.exe"
      !insertmacro RecordPending "$0"
    ${EndIf}
    !insertmacro DeleteAtRestart "$0"
    !insertmacro Log "$0 (this uninstaller) is deleted at the next restart"
  ${EndIf}
  ClearErrors
  ; A folder that still holds a file a running program keeps open goes at
  ; the next restart; until then its record says whose it is, so that a
  ; setup run before the restart can install there again.
  RMDir "$INSTDIR\x86"
  RMDir "$INSTDIR\x64"
  RMDir "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\*.*"
  ${AndIf} ${FileExists} "$PLUGINSDIR\record.ini"
    !insertmacro RecordPending "$INSTDIR\${RECORD}"
    CopyFiles /SILENT "$PLUGINSDIR\record.ini" "$INSTDIR\${RECORD}"
    !insertmacro DeleteAtRestart "$INSTDIR\${RECORD}"
  ${EndIf}
  ClearErrors
  Push "$INSTDIR"
  Push "$PLUGINSDIR\record.ini"
  Call un.RemoveFolders
  !insertmacro Log "uninstalled ${PRODUCT} from $INSTDIR"
  ${If} ${RebootFlag}
    SetErrorLevel ${EXIT_REBOOT}
  ${EndIf}
SectionEnd
