; Installer of Test liaison série for 64-bit Windows (NSIS 3). scripts/package-windows.sh builds it:
;   makensis -INPUTCHARSET UTF8 -DVERSION=x.y.z -DDEPLOY_DIR=<folder> -DFILES_NSH=<file>
;            -DOUTFILE=<setup.exe> installer/liaison-serie.nsi
; DEPLOY_DIR is the deployable folder (the program, Qt, its plugins and the mingw runtime); FILES_NSH lists
; its files as the two macros LIAISON_INSTALL_FILES and LIAISON_UNINSTALL_FILES, so that the uninstaller
; removes exactly what was installed and nothing else in the folder.
; "setup.exe /S" installs silently, "uninstall.exe /S" uninstalls silently.

!macro LIAISON_REQUIRE name
  !ifndef ${name}
    !error "${name} must be defined (-D${name}=value)"
  !endif
!macroend
!insertmacro LIAISON_REQUIRE VERSION
!insertmacro LIAISON_REQUIRE DEPLOY_DIR
!insertmacro LIAISON_REQUIRE FILES_NSH
!insertmacro LIAISON_REQUIRE OUTFILE

Unicode true
; A 64-bit installer for a 64-bit program: it also runs under a 64-bit-only wine.
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!define APP_NAME "Test liaison série"
!define APP_EXE "liaison-serie.exe"
!define PUBLISHER "liaison-serie maintainers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\liaison-serie"
!define ICON_FILE "${__FILEDIR__}/../console/icons/liaison-serie.ico"

Name "${APP_NAME}"
Caption "${APP_NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP_NAME}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
BrandingText "${APP_NAME} ${VERSION}"

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "x64.nsh"

!define MUI_ICON "${ICON_FILE}"
!define MUI_UNICON "${ICON_FILE}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "French"

; The installer's own file properties.
VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_FRENCH} "ProductName" "${APP_NAME}"
VIAddVersionKey /LANG=${LANG_FRENCH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_FRENCH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_FRENCH} "FileDescription" "Installation de ${APP_NAME}"
VIAddVersionKey /LANG=${LANG_FRENCH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_FRENCH} "LegalCopyright" "© 2026 ${PUBLISHER}"

!include "${FILES_NSH}"

Function .onInit
  ; Shortcuts for every user, beside a program installed for every user.
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Section "Install"
  !insertmacro LIAISON_INSTALL_FILES
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortCut "$SMPROGRAMS\${APP_NAME}.lnk" "$INSTDIR\${APP_EXE}" "" "$INSTDIR\${APP_EXE}" 0 \
      SW_SHOWNORMAL "" "${APP_NAME} ${VERSION}"

  ; Add/Remove Programs.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${APP_EXE},0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${APP_NAME}.lnk"
  !insertmacro LIAISON_UNINSTALL_FILES
  Delete "$INSTDIR\uninstall.exe"
  ; Only if empty: files the user put there stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
