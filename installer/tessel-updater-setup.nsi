; Installer for the Orvex Tessel keyboard firmware update. It installs the
; packaged tool with its read-me, runs it silently, waits for it and reports
; its exit code in words. The result log the tool writes beside itself stays
; where it is. The installer's own exit code is the tool's.
;
;   makensis -DPROGRAM=path\tessel-updater.exe [-DREADME=path\readme.mht]
;            -DOUTFILE=setup.exe installer/tessel-updater-setup.nsi
Unicode true
; A 64-bit installer for a 64-bit tool (and for 64-bit-only Wine prefixes).
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef PROGRAM
  !error "PROGRAM must name the packaged tessel-updater.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "tessel-updater-setup.exe"
!endif

Name "Orvex Tessel Keyboard Firmware Update"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Orvex\Tessel Keyboard Updater"
ShowInstDetails show

Page directory
Page instfiles

Var Code
Var Words

Function DescribeCode
  ; In: $Code. Out: $Words.
  StrCmp $Code "0" 0 +3
    StrCpy $Words "The keyboard firmware was updated and verified. Nothing more to do."
    Return
  StrCmp $Code "1" 0 +3
    StrCpy $Words "No update was needed: the keyboard already has this firmware (or no update could start in time)."
    Return
  StrCmp $Code "2" 0 +3
    StrCpy $Words "The Bluetooth firmware was not confirmed by the keyboard (or another copy of the updater was running). Detach and re-attach the keyboard, then run the update again."
    Return
  StrCmp $Code "3" 0 +3
    StrCpy $Words "The update stopped while the keyboard switched to its update mode. Detach and re-attach the keyboard, then run the update again."
    Return
  StrCmp $Code "4" 0 +3
    StrCpy $Words "The USB firmware was not installed: the download did not complete or the keyboard did not come back. Detach and re-attach the keyboard, then run the update again."
    Return
  StrCmp $Code "5" 0 +3
    StrCpy $Words "The keyboard was not detached and re-attached in time. Run the update again."
    Return
  StrCmp $Code "6" 0 +3
    StrCpy $Words "The keyboard did not acknowledge the end of the update. Detach and re-attach the keyboard, then run the update again."
    Return
  StrCmp $Code "7" 0 +3
    StrCpy $Words "After the update the keyboard reported other versions than expected. Contact support with the file LogfileKarstDFU.txt."
    Return
  StrCpy $Words "The updater ended with the unknown code $Code. Contact support with the file LogfileKarstDFU.txt."
FunctionEnd

Section "Update"
  SetOutPath "$INSTDIR"
  File "/oname=tessel-updater.exe" "${PROGRAM}"
!ifdef README
  File "/oname=readme.mht" "${README}"
!endif
  ; The result log of earlier runs is kept: the tool appends to it.

  DetailPrint "Updating the keyboard firmware; this takes up to a minute. Keep the keyboard attached."
  ExecWait '"$INSTDIR\tessel-updater.exe" -silent' $Code
  IfErrors 0 +3
    DetailPrint "The updater could not be started."
    StrCpy $Code "-1"
  Call DescribeCode
  DetailPrint "Exit code $Code: $Words"
  FileOpen $0 "$INSTDIR\update-result.txt" w
  FileWrite $0 "$Code$\r$\n$Words$\r$\n"
  FileClose $0
  IfSilent +2
    MessageBox MB_OK|MB_ICONINFORMATION "$Words"
  SetErrorLevel $Code
SectionEnd
