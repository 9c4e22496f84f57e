; The updater's installer for Windows, made by scripts/build-windows.sh with
;   makensis -DVERSION=<x.y.z> -DSOURCE=<folder> -DFILES=<file list> -DOUTFILE=<installer> orvenda-updater.nsi
; SOURCE is the program folder as it is packed into the zip (the programs, Qt's
; and MinGW's libraries, platforms\); FILES lists its files and folders as
; uninstall commands, so that the uninstaller removes what was installed and
; nothing else that may lie in the folder chosen.
; A 64-bit installer, as the programs are: it writes to 64-bit Windows' own
; Program Files and registry, and it runs under wine64.
Target amd64-unicode

!ifndef VERSION | SOURCE | FILES | OUTFILE
  !error "VERSION, SOURCE, FILES and OUTFILE must be defined (scripts/build-windows.sh does)"
!endif

!define PRODUCT "Orvenda Updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\OrvendaUpdater"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; Installed for every user of the machine, under Program Files.
RequestExecutionLevel admin
SetCompressor /SOLID lzma

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File /r "${SOURCE}/*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\orvenda-updater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Orvenda"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "${SHORTCUT}"
  !include "${FILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
