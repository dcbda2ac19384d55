; Installer of Test liaison série for 64-bit Windows (NSIS 3.08 or later). scripts/package-windows.sh
; builds it:
;   makensis -INPUTCHARSET UTF8 -DVERSION=x.y.z -DDEPLOY_DIR=<folder> -DFILES_NSH=<file>
;            -DOUTFILE=<setup.exe> [-DSIGN_SCRIPT=<script>] installer/liaison-serie.nsi
; DEPLOY_DIR is the deployable folder (the program, its guide guide.html, Qt, its plugins and the mingw
; runtime); FILES_NSH lists its files as the two macros LIAISON_INSTALL_FILES and LIAISON_UNINSTALL_FILES,
; so that the uninstaller removes exactly what was installed and nothing else in the folder. With
; SIGN_SCRIPT, the uninstaller is signed before it is packed into the installer ("SIGN_SCRIPT --sign
; <file>" signs a file in place).
;
; Two ways to install:
; - for the current user only, into %LOCALAPPDATA%\Programs, with the user's Start menu (the program's
;   shortcut and the guide's) and an uninstall entry under HKCU: needs no administrator rights, and is what
;   an account without them gets;
; - for every user, into Program Files, with the common Start menu and an entry under HKLM: the default
;   when the installer runs with administrator rights (an administrator may choose the other on a page).
; "setup.exe /S" installs silently in the default way; "/S /CURRENTUSER" and "/S /ALLUSERS" choose.
; "/ALLUSERS" without administrator rights ends with exit code 740 (elevation required).
; Installing over an installation of the same kind first runs the uninstaller of the version already
; there, so that nothing of it is left (a file it shipped and this version does not is removed too), then
; installs this version: one Start-menu entry and one Add/Remove Programs entry, with this version.
; "uninstall.exe /S" uninstalls silently.
; Where the MSI package (installer/liaison-serie.wxs) is installed, the installer refuses with a message
; and exit code 1638; the MSI package refuses in turn to install over an installation for every user.

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
; The technician's guide, beside the program (where the console opens it with F1), with a shortcut of its
; own in the Start menu.
!define GUIDE_FILE "guide.html"
!define GUIDE_NAME "Guide de ${APP_NAME}"
!define PUBLISHER "liaison-serie maintainers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\liaison-serie"
!define ICON_FILE "${__FILEDIR__}/../console/icons/liaison-serie.ico"
; Windows' "the requested operation requires elevation".
!define ERROR_ELEVATION_REQUIRED 740
!define TEXT_ALLUSERS_DENIED "L'installation pour tous les utilisateurs demande les droits d'administrateur. Sans eux, installez pour vous seul."
; Windows' "another version of this product is already installed".
!define ERROR_PRODUCT_VERSION 1638
!define TEXT_MSI_INSTALLED "${APP_NAME} est installé sur ce PC par son paquet Windows Installer (.msi), celui du service informatique. Ce programme d'installation ne l'installe pas une seconde fois : pour changer de version, installez le paquet .msi de cette version, ou désinstallez d'abord ${APP_NAME} (Ajout/Suppression de programmes)."
!define TEXT_UNINSTALL_DENIED "${APP_NAME} est installé pour tous les utilisateurs : le désinstaller demande les droits d'administrateur."

Name "${APP_NAME}"
Caption "${APP_NAME} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${APP_NAME} ${VERSION}"

!ifdef SIGN_SCRIPT
  ; The uninstaller that the installer writes out is this one, signed.
  !uninstfinalize '"${SIGN_SCRIPT}" --sign "%1"' = 0
!endif

; Multi-user support: "Highest" runs an administrator's installer elevated (for every user by default)
; and a standard user's as it is (for that user only, no rights needed). Where an earlier version sits,
; its uninstall entry gives the folder and, for an administrator, the kind of installation to update.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${APP_NAME}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallLocation"
; The uninstaller finds its kind of installation itself (un.onInit), from where it sits.
!define MULTIUSER_NOUNINSTALL

!include "MUI2.nsh"
!include "MultiUser.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${ICON_FILE}"
!define MUI_UNICON "${ICON_FILE}"
!define MUI_ABORTWARNING

!insertmacro MULTIUSER_PAGE_INSTALLMODE
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

; "Admin", "Power" (which Windows from Vista on no longer gives), "User" or "Guest".
!macro LIAISON_READ_PRIVILEGES
  UserInfo::GetAccountType
  Pop $MultiUser.Privileges
!macroend

Function .onInit
  SetRegView 64
  ; The MSI package, installed for the whole PC, leaves this mark: installing beside it would give two
  ; copies and two Start-menu entries, and updating its files would break its own records of them.
  ReadRegStr $R0 HKLM "Software\liaison-serie" "MsiProductCode"
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONSTOP "${TEXT_MSI_INSTALLED}" /SD IDOK
    SetErrorLevel ${ERROR_PRODUCT_VERSION}
    Quit
  ${EndIf}
  !insertmacro LIAISON_READ_PRIVILEGES
  ; MultiUser.nsh would ask with a message box, even in a silent installation: refuse here instead.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ALLUSERS" $R1
  ${IfNot} ${Errors}
  ${AndIf} $MultiUser.Privileges != "Admin"
  ${AndIf} $MultiUser.Privileges != "Power"
    MessageBox MB_OK|MB_ICONSTOP "${TEXT_ALLUSERS_DENIED}" /SD IDOK
    SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
    Quit
  ${EndIf}
  !insertmacro MULTIUSER_INIT
FunctionEnd

; Runs the uninstaller of the installation of the same kind already there, in place and silently: it
; removes that version's files (its own list), its shortcuts and its uninstall entry, and leaves whatever
; the user added. Left is only the uninstaller itself, which cannot delete a running program.
Function RemovePreviousVersion
  ReadRegStr $R0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $R1 SHCTX "${UNINSTALL_KEY}" "DisplayVersion"
  ${If} $R0 == ""
    Return
  ${EndIf}
  ${IfNot} ${FileExists} "$R0\uninstall.exe"
    ; An entry with no uninstaller behind it: the files were removed by hand.
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
    Return
  ${EndIf}
  DetailPrint "Désinstallation de la version $R1 ($R0)"
  ClearErrors
  ExecWait '"$R0\uninstall.exe" /S /$MultiUser.InstallMode _?=$R0' $R2
  ${If} ${Errors}
  ${OrIf} $R2 != 0
    ; The new version is installed anyway; its files replace the old ones of the same name.
    DetailPrint "La désinstallation de la version $R1 a échoué (code $R2)"
  ${EndIf}
  Delete "$R0\uninstall.exe"
  RMDir "$R0"
FunctionEnd

Section "Install"
  Call RemovePreviousVersion
  !insertmacro LIAISON_INSTALL_FILES
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; $SMPROGRAMS is the user's or the common Start menu, after the kind of installation.
  CreateShortCut "$SMPROGRAMS\${APP_NAME}.lnk" "$INSTDIR\${APP_EXE}" "" "$INSTDIR\${APP_EXE}" 0 \
      SW_SHOWNORMAL "" "${APP_NAME} ${VERSION}"
  ; Opened by the PC's web browser, as any page.
  CreateShortCut "$SMPROGRAMS\${GUIDE_NAME}.lnk" "$INSTDIR\${GUIDE_FILE}" "" "" 0 SW_SHOWNORMAL "" \
      "${GUIDE_NAME} ${VERSION}"

  ; Add/Remove Programs; SHCTX is HKCU or HKLM, after the kind of installation.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${APP_EXE},0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" \
      '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" \
      '"$INSTDIR\uninstall.exe" /S /$MultiUser.InstallMode'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; The uninstaller's kind of installation: the one named on its command line (/ALLUSERS or /CURRENTUSER,
; as the uninstall entry starts it), otherwise the one whose uninstall entry names its folder. Its
; shortcuts and entry are removed only when that entry names this folder: a copy of the uninstaller
; elsewhere never removes another installation's entry.
Var EntryIsOurs

Function un.onInit
  SetRegView 64
  !insertmacro LIAISON_READ_PRIVILEGES
  ${GetParameters} $R0
  ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $R2 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ClearErrors
  ${GetOptions} $R0 "/ALLUSERS" $R3
  ${IfNot} ${Errors}
    StrCpy $R4 "AllUsers"
  ${Else}
    ClearErrors
    ${GetOptions} $R0 "/CURRENTUSER" $R3
    ${IfNot} ${Errors}
      StrCpy $R4 "CurrentUser"
    ${ElseIf} $R2 == $INSTDIR
      StrCpy $R4 "CurrentUser"
    ${ElseIf} $R1 == $INSTDIR
      StrCpy $R4 "AllUsers"
    ${ElseIf} $MultiUser.Privileges == "Admin"
      StrCpy $R4 "AllUsers"
    ${Else}
      StrCpy $R4 "CurrentUser"
    ${EndIf}
  ${EndIf}

  ${If} $R4 == "AllUsers"
    ${If} $MultiUser.Privileges != "Admin"
    ${AndIf} $MultiUser.Privileges != "Power"
      MessageBox MB_OK|MB_ICONSTOP "${TEXT_UNINSTALL_DENIED}" /SD IDOK
      SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
      Quit
    ${EndIf}
    SetShellVarContext all
    StrCpy $R3 $R1
  ${Else}
    SetShellVarContext current
    StrCpy $R3 $R2
  ${EndIf}
  StrCpy $EntryIsOurs 0
  ${If} $R3 == $INSTDIR
    StrCpy $EntryIsOurs 1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ${If} $EntryIsOurs == 1
    Delete "$SMPROGRAMS\${APP_NAME}.lnk"
    Delete "$SMPROGRAMS\${GUIDE_NAME}.lnk"
  ${EndIf}
  !insertmacro LIAISON_UNINSTALL_FILES
  Delete "$INSTDIR\uninstall.exe"
  ; Only if empty: files the user put there stay.
  RMDir "$INSTDIR"
  ${If} $EntryIsOurs == 1
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${EndIf}
SectionEnd
