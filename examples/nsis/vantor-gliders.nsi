; Installer of the example application, Vantor Gliders. This script is the
; uninstaller's only list: Sweepkit.nsh records every file, shortcut and key
; as it installs them. Built by scripts/installer (`make installer`):
;   makensis -X"!addincludedir dist" -DVERSION=1.0 -DPAYLOAD=<dir> -DOUTFILE=<setup.exe>
;            [-DSK_TEMPLATE=<app.skt>] [-DSK_MANIFEST=<recorded.json>] [-DGROUP=<menu folder>]
;            vantor-gliders.nsi
;
; Silent use: setup.exe /S /D=C:\Some Folder  (/D= last and unquoted).

!ifndef VERSION
  !define VERSION 1.0
!endif
!ifndef PAYLOAD
  !error "PAYLOAD (the folder of the application's files) is not defined"
!endif
!ifndef OUTFILE
  !define OUTFILE vantor-gliders-setup.exe
!endif

!define APP "Vantor Gliders"
; the example's uninstallers write keys as chunks of their own
!define SK_KEY_CHUNKS appended
!include Sweepkit.nsh

; ANSI: runs on Windows 95 and NT 4.0, and hands the finisher ANSI paths
Unicode false
Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${APP}"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles

${SkVar} group ; the Start-menu folder

Section "Install"
  !ifdef GROUP
    StrCpy $group "${GROUP}"
  !else
    StrCpy $group "${APP}"
  !endif
  ${SkUninstaller}

  ${SkOutPath} "$INSTDIR"
  ${SkFile} "${PAYLOAD}/vantor.dll"
  ${SkFile} "${PAYLOAD}/glide.exe"
  ${SkShortcut} "$DESKTOP\${APP}.lnk" "$INSTDIR\glide.exe"
  !if "${VERSION}" == "1.0"
    ${SkFile} "${PAYLOAD}/glide.dat"
  !else
    ${SkFile} "${PAYLOAD}/tracks.dat"
  !endif
  ${SkFile} "${PAYLOAD}/guide.txt"

  ${SkShortcut} "$SMPROGRAMS\$group\Uninstall ${APP}.lnk" "$INSTDIR\uninstall.exe"
  ${SkShortcut} "$SMPROGRAMS\$group\${APP}.lnk" "$INSTDIR\glide.exe"
  ${SkShortcut} "$SMPROGRAMS\$group\${APP} ReadMe.lnk" "$INSTDIR\guide.txt"
SectionEnd

${SkFinish} "${APP}" "${APP} ${VERSION}" "${VERSION}"
