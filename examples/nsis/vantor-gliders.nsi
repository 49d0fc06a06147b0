; Installer of the example application, Vantor Gliders. Built by
; scripts/installer (`make installer`), which packs the release's manifest into
; a template and lays out its files, then runs:
;   makensis -DVERSION=1.0 -DPAYLOAD=<dir> -DTEMPLATE=<app.skt>
;            -DFINISH=<sweepkit-finish.exe> -DOUTFILE=<setup.exe> vantor-gliders.nsi
;
; Silent use: setup.exe /S /D=C:\Some Folder  (/D= last and unquoted).
;
; The uninstaller is finished on the installing machine before anything else
; is put in place: sweepkit-finish.exe resolves the template's folders there
; and writes uninstall.exe into the chosen folder (keeping, with --merge, what
; an earlier version's uninstaller listed). If that fails, nothing has been
; installed and the installer ends with an error.

!ifndef VERSION
  !define VERSION 1.0
!endif
!ifndef PAYLOAD
  !error "PAYLOAD (the folder of the application's files) is not defined"
!endif
!ifndef TEMPLATE
  !error "TEMPLATE (the uninstaller template, sweepkit pack --template) is not defined"
!endif
!ifndef FINISH
  !error "FINISH (sweepkit-finish.exe) is not defined"
!endif
!ifndef OUTFILE
  !define OUTFILE vantor-gliders-setup.exe
!endif

!define APP "Vantor Gliders"
!define GROUP "Vantor Gliders"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantor Gliders"

; ANSI: runs on Windows 95 and NT 4.0, and hands the finisher ANSI paths
Unicode false
Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${APP}"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles

Section "Install"
  ; the uninstaller first: a failure here leaves the machine as it was
  CreateDirectory "$INSTDIR"
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  File "/oname=sweepkit-finish.exe" "${FINISH}"
  File "/oname=vantor-gliders.skt" "${TEMPLATE}"

  StrCpy $0 ""
  IfFileExists "$INSTDIR\uninstall.exe" 0 +2
    StrCpy $0 '--merge "$INSTDIR\uninstall.exe"'
  DetailPrint "Writing the uninstaller $INSTDIR\uninstall.exe"
  nsExec::ExecToStack '"$PLUGINSDIR\sweepkit-finish.exe" "$PLUGINSDIR\vantor-gliders.skt" "$INSTDIR\uninstall.exe" --set "group=${GROUP}" $0'
  Pop $1 ; exit code, or "error" when it could not be started
  Pop $2 ; what it wrote
  StrCmp $1 "0" finished
    DetailPrint "sweepkit-finish: $2"
    RMDir "$INSTDIR" ; only when it is still empty
    MessageBox MB_OK|MB_ICONSTOP "${APP} ${VERSION} cannot be installed: the uninstaller could not be written (exit code $1).$\r$\n$\r$\n$2" /SD IDOK
    SetErrorLevel 2
    Abort "The uninstaller could not be written."
  finished:

  SetOutPath "$INSTDIR"
  File /r "${PAYLOAD}/*.*"

  CreateDirectory "$SMPROGRAMS\${GROUP}"
  CreateShortCut "$SMPROGRAMS\${GROUP}\${APP}.lnk" "$INSTDIR\glide.exe"
  CreateShortCut "$SMPROGRAMS\${GROUP}\${APP} ReadMe.lnk" "$INSTDIR\guide.txt"
  CreateShortCut "$SMPROGRAMS\${GROUP}\Uninstall ${APP}.lnk" "$INSTDIR\uninstall.exe"
  CreateShortCut "$DESKTOP\${APP}.lnk" "$INSTDIR\glide.exe"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${APP} ${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
SectionEnd
