; Installer for the Orvex Tessel keyboard firmware update. It installs the
; packaged tool with its read-me and tessel-deploy.exe, which asks the tool
; first whether the update applies (-check), runs it (-silent) only then, and
; records the outcome in the registry and in update-result.txt. The installer
; shows the outcome (unless silent) and ends with its code:
;   0 up to date, 3010 verified (a restart is due), 11 no keyboard attached,
;   12 the keyboard cannot take this package, 1618 another copy runs,
;   1 to 7 and 13 the tool's failure codes, 1603 the tool could not be run.
; The result log the tool writes beside itself stays where it is.
;
;   makensis -DPROGRAM=path\tessel-updater.exe -DDEPLOY=path\tessel-deploy.exe
;            [-DREADME=path\readme.mht] [-DICON=path\app.ico]
;            -DOUTFILE=setup.exe installer/tessel-updater-setup.nsi
Unicode true
; A 64-bit installer for a 64-bit tool (and for 64-bit-only Wine prefixes).
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef PROGRAM
  !error "PROGRAM must name the packaged tessel-updater.exe"
!endif
!ifndef DEPLOY
  !error "DEPLOY must name tessel-deploy.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "tessel-updater-setup.exe"
!endif

Name "Orvex Tessel Keyboard Firmware Update"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Orvex\Tessel Keyboard Updater"
ShowInstDetails show
!ifdef ICON
  Icon "${ICON}"
!endif

VIProductVersion "3.0.0.1"
VIFileVersion "3.0.0.1"
VIAddVersionKey /LANG=1033 "ProductName" "Orvex Tessel Keyboard Firmware Update"
VIAddVersionKey /LANG=1033 "CompanyName" "Orvex"
VIAddVersionKey /LANG=1033 "FileDescription" "Orvex Tessel Keyboard Firmware Update installer"
VIAddVersionKey /LANG=1033 "FileVersion" "3.0.0.1"
VIAddVersionKey /LANG=1033 "ProductVersion" "3.0.0.1"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Orvex"

Page directory
Page instfiles

Var Code
Var Words
Var Outcome

Function TrimLine
  ; The text on the stack without its line break.
  Exch $2
  Push $3
  StrCpy $3 $2 2 -2
  StrCmp $3 "$\r$\n" 0 +2
    StrCpy $2 $2 -2
  Pop $3
  Exch $2
FunctionEnd

Section "Update"
  SetOutPath "$INSTDIR"
  File "/oname=tessel-updater.exe" "${PROGRAM}"
  File "/oname=tessel-deploy.exe" "${DEPLOY}"
!ifdef README
  File "/oname=readme.mht" "${README}"
!endif
  ; The result log of earlier runs is kept: the tool appends to it.

  DetailPrint "Updating the keyboard firmware; this takes up to a minute. Keep the keyboard attached."
  ClearErrors
  ExecWait '"$INSTDIR\tessel-deploy.exe" "$INSTDIR"' $Code
  StrCpy $Words "The updater could not be started."
  StrCpy $Outcome "failed"
  IfErrors 0 +3
    StrCpy $Code "1603"
    Goto report
  ; tessel-deploy.exe wrote the code, its words and the outcome, a line each.
  ClearErrors
  FileOpen $0 "$INSTDIR\update-result.txt" r
  IfErrors report
  FileRead $0 $1
  FileRead $0 $Words
  FileRead $0 $Outcome
  FileClose $0
  Push $Words
  Call TrimLine
  Pop $Words
  Push $Outcome
  Call TrimLine
  Pop $Outcome
report:
  DetailPrint "Exit code $Code ($Outcome): $Words"
  IfSilent done
  StrCmp $Outcome "up-to-date" info
  StrCmp $Outcome "verified" info
  StrCmp $Outcome "no-keyboard" warn
  StrCmp $Outcome "not-applicable" warn
    MessageBox MB_OK|MB_ICONSTOP "$Words"
    Goto done
  info:
    MessageBox MB_OK|MB_ICONINFORMATION "$Words"
    Goto done
  warn:
    MessageBox MB_OK|MB_ICONEXCLAMATION "$Words"
done:
  SetErrorLevel $Code
SectionEnd
