; The per-user setup of Varnix: puts VarnixLauncher.exe and the uninstaller into a directory the
; user can write (the launcher updates itself and writes system\, logs\, _download\ and _rollback\
; beside it), a Start-menu shortcut and the uninstall entry. The application itself arrives as the
; "soft" package at the launcher's first start.
;
;   makensis -DLAUNCHER=VarnixLauncher.exe -DHELPER=VarnixSetupHelper.exe -DOUTFILE=Setup.exe
;            [-DSIGN_UNINSTALLER=command] VarnixSetup.nsi
;
; SIGN_UNINSTALLER is a command that signs the file named as its one argument in place; a failing
; signer fails the build. The version is the launcher's own version resource.
;
; Exit codes: 0 installed, 1 cancelled, 2 aborted, 3 refused because a program of the root runs,
; 4 refused because of the directory. The uninstaller: 0 removed, 1 cancelled, 2 aborted (something
; could not be removed; the entry stays so that it can run again), 3 refused because a program of
; the root runs, 4 refused because its folder is no Varnix root (a copy of it run elsewhere).

Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma
; Otherwise each file's modification time goes into the setup, and two clones' builds differ.
SetDateSave off
SetOverwrite on
CRCCheck on

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!ifndef LAUNCHER | HELPER | OUTFILE
    !error "define LAUNCHER, HELPER and OUTFILE (see the head of this script)"
!endif

!getdllversion "${LAUNCHER}" LAUNCHER_VERSION_
!define VERSION "${LAUNCHER_VERSION_1}.${LAUNCHER_VERSION_2}.${LAUNCHER_VERSION_3}.${LAUNCHER_VERSION_4}"
!define /math VERSION_HIGH_PART ${LAUNCHER_VERSION_1} << 16
!define /math VERSION_HIGH ${VERSION_HIGH_PART} | ${LAUNCHER_VERSION_2}
!define /math VERSION_LOW_PART ${LAUNCHER_VERSION_3} << 16
!define /math VERSION_LOW ${VERSION_LOW_PART} | ${LAUNCHER_VERSION_4}

; The helper's answers, from the header its source is built with.
!searchparse /file "${__FILEDIR__}/helper_exit_codes.h" "#define VARNIX_HELPER_DONE " HELPER_DONE
!searchparse /file "${__FILEDIR__}/helper_exit_codes.h" "#define VARNIX_HELPER_RUNNING " HELPER_RUNNING
!searchparse /file "${__FILEDIR__}/helper_exit_codes.h" "#define VARNIX_HELPER_PROTECTED_DIRECTORY " HELPER_PROTECTED_DIRECTORY
!searchparse /file "${__FILEDIR__}/helper_exit_codes.h" "#define VARNIX_HELPER_NOT_A_ROOT " HELPER_NOT_A_ROOT

!define EXIT_ABORTED 2
!define EXIT_REFUSED_RUNNING 3
!define EXIT_REFUSED_DIRECTORY 4

!define PRODUCT "Varnix"
!define PUBLISHER "Varnix"
!define LAUNCHER_FILE "VarnixLauncher.exe"
!define UNINSTALLER_FILE "Uninstall.exe"
!define HELPER_FILE "VarnixSetupHelper.exe"
!define SHORTCUT_FILE "Varnix.lnk"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnix"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; One installation per user: its directory is the one offered.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow

!ifdef SIGN_UNINSTALLER
    !uninstfinalize '"${SIGN_UNINSTALLER}" "%1"' = 0
!endif

Var CreateDesktopShortcut

!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Запустить Varnix"
!define MUI_FINISHPAGE_RUN_FUNCTION StartLauncher
!define MUI_FINISHPAGE_SHOWREADME
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Создать ярлык на рабочем столе"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION CreateDesktopShortcutNow
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Russian"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileDescription" "Установка Varnix"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "LegalCopyright" "${PUBLISHER}"

; ---------------------------------------------------------------- the helper

!macro ExtractHelper
    InitPluginsDir
    File "/oname=$PLUGINSDIR\${HELPER_FILE}" "${HELPER}"
!macroend

; Runs the helper with COMMAND on PATH; the exit code lands in OUTPUT, "error" when it could not run.
!macro RunHelper COMMAND PATH OUTPUT
    ClearErrors
    ExecWait '"$PLUGINSDIR\${HELPER_FILE}" ${COMMAND} "${PATH}"' ${OUTPUT}
    ${If} ${Errors}
        StrCpy ${OUTPUT} "error"
    ${EndIf}
!macroend

; ---------------------------------------------------------------- the target directory

; Always a Varnix folder of its own, so the uninstaller never empties a folder of the user's:
; a picked folder gets "\Varnix" unless it is named so or already is a Varnix root.
Function NormalizeTarget
    ${GetFileName} "$INSTDIR" $R0
    ${If} $R0 == "${PRODUCT}"
    ${OrIf} ${FileExists} "$INSTDIR\${LAUNCHER_FILE}"
        Return
    ${EndIf}
    StrCpy $INSTDIR "$INSTDIR\${PRODUCT}"
FunctionEnd

; $R9: 0 when the setup may install into $INSTDIR, otherwise its exit code. Each refusal says why.
Function ValidateTarget
    StrCpy $R9 0
    Call NormalizeTarget
    ReadRegStr $R0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R0 != ""
    ${AndIf} ${FileExists} "$R0\${LAUNCHER_FILE}"
        GetFullPathName /SHORT $R1 "$R0"
        GetFullPathName /SHORT $R2 "$INSTDIR"
        ${If} $R1 != $R2
            MessageBox MB_OK|MB_ICONSTOP "Varnix уже установлен в папке $R0.$\r$\n$\r$\nЧтобы установить его в другую папку, сначала удалите его (Параметры > Приложения)." /SD IDOK
            StrCpy $R9 ${EXIT_REFUSED_DIRECTORY}
            Return
        ${EndIf}
    ${EndIf}
    !insertmacro ExtractHelper
    !insertmacro RunHelper running "$INSTDIR" $R1
    ${If} $R1 == ${HELPER_RUNNING}
        MessageBox MB_OK|MB_ICONEXCLAMATION "Varnix сейчас запущен.$\r$\n$\r$\nЗакройте Varnix и запустите установку снова." /SD IDOK
        StrCpy $R9 ${EXIT_REFUSED_RUNNING}
        Return
    ${ElseIf} $R1 != ${HELPER_DONE}
        MessageBox MB_OK|MB_ICONSTOP "Не удалось проверить папку установки." /SD IDOK
        StrCpy $R9 ${EXIT_ABORTED}
        Return
    ${EndIf}
    !insertmacro RunHelper check-target "$INSTDIR" $R1
    ${If} $R1 == ${HELPER_PROTECTED_DIRECTORY}
        MessageBox MB_OK|MB_ICONSTOP "Varnix нельзя установить в папку $INSTDIR.$\r$\n$\r$\nВ папках Program Files и Windows Varnix не смог бы обновляться сам. Выберите папку в своём профиле, например предложенную." /SD IDOK
        StrCpy $R9 ${EXIT_REFUSED_DIRECTORY}
    ${ElseIf} $R1 != ${HELPER_DONE}
        MessageBox MB_OK|MB_ICONSTOP "В папку $INSTDIR нельзя записывать файлы.$\r$\n$\r$\nВыберите другую папку." /SD IDOK
        StrCpy $R9 ${EXIT_REFUSED_DIRECTORY}
    ${EndIf}
FunctionEnd

Function .onInit
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/DESKTOP" $R1
    ${IfNot} ${Errors}
        StrCpy $CreateDesktopShortcut 1
    ${EndIf}
    ; A silent run has no directory page: the same checks happen here, and a refusal ends it.
    ${If} ${Silent}
        Call ValidateTarget
        ${If} $R9 != 0
            SetErrorLevel $R9
            Quit
        ${EndIf}
    ${EndIf}
FunctionEnd

Function DirectoryLeave
    Call ValidateTarget
    ${If} $R9 != 0
        Abort
    ${EndIf}
FunctionEnd

; ---------------------------------------------------------------- installing

; The self-update may have promoted a newer launcher than this setup carries: that one stays.
Function InstallLauncherUnlessNewer
    ${If} ${FileExists} "$INSTDIR\${LAUNCHER_FILE}"
        ClearErrors
        GetDLLVersion "$INSTDIR\${LAUNCHER_FILE}" $R0 $R1
        ${IfNot} ${Errors}
            IntCmpU $R0 ${VERSION_HIGH} 0 install keep
            IntCmpU $R1 ${VERSION_LOW} install install keep
        ${EndIf}
    ${EndIf}
    install:
    File "/oname=${LAUNCHER_FILE}" "${LAUNCHER}"
    Return
    keep:
    DetailPrint "Установлен более новый ${LAUNCHER_FILE}: он остаётся."
FunctionEnd

; $R0: the version resource of the launcher now in place, a.b.c.d.
Function InstalledLauncherVersion
    GetDLLVersion "$INSTDIR\${LAUNCHER_FILE}" $R1 $R2
    IntOp $R3 $R1 >> 16
    IntOp $R3 $R3 & 0xFFFF
    IntOp $R4 $R1 & 0xFFFF
    IntOp $R5 $R2 >> 16
    IntOp $R5 $R5 & 0xFFFF
    IntOp $R6 $R2 & 0xFFFF
    StrCpy $R0 "$R3.$R4.$R5.$R6"
FunctionEnd

Function WriteUninstallEntry
    Call InstalledLauncherVersion
    ${GetSize} "$INSTDIR" "/M=*.exe /S=0K /G=0" $R1 $R2 $R3
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "$R0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${LAUNCHER_FILE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER_FILE}"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER_FILE}" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $R1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
FunctionEnd

Section "Varnix"
    SectionIn RO
    ; Shortcuts and the finish page's start take the output directory as the working directory.
    SetOutPath "$INSTDIR"
    Call InstallLauncherUnlessNewer
    WriteUninstaller "$INSTDIR\${UNINSTALLER_FILE}"
    CreateShortcut "$SMPROGRAMS\${SHORTCUT_FILE}" "$INSTDIR\${LAUNCHER_FILE}"
    ${If} $CreateDesktopShortcut == 1
        Call CreateDesktopShortcutNow
    ${EndIf}
    Call WriteUninstallEntry
SectionEnd

Function CreateDesktopShortcutNow
    SetOutPath "$INSTDIR"
    CreateShortcut "$DESKTOP\${SHORTCUT_FILE}" "$INSTDIR\${LAUNCHER_FILE}"
FunctionEnd

; As the user who ran the setup: it never runs elevated.
Function StartLauncher
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\${LAUNCHER_FILE}"'
FunctionEnd

; ---------------------------------------------------------------- uninstalling

; $R8: 1 when $INSTDIR is the registered installation's folder (compared as ValidateTarget does).
; The entry and the shortcuts are that installation's: an uninstaller copied into another folder
; leaves them.
Function un.IsRegisteredRoot
    StrCpy $R8 0
    ReadRegStr $R1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R1 == ""
        Return
    ${EndIf}
    GetFullPathName /SHORT $R1 "$R1"
    GetFullPathName /SHORT $R2 "$INSTDIR"
    ${If} $R1 != ""
    ${AndIf} $R1 == $R2
        StrCpy $R8 1
    ${EndIf}
FunctionEnd

; The helper removes the launcher's names with the launcher's own tree deletion, which removes a
; link inside the tree as a link and never enters it; RMDir /r would follow it.
Section "Uninstall"
    Call un.IsRegisteredRoot
    !insertmacro ExtractHelper
    ${If} $R8 == 1
        !insertmacro RunHelper remove-registered "$INSTDIR" $R0
    ${Else}
        !insertmacro RunHelper remove "$INSTDIR" $R0
    ${EndIf}
    ${If} $R0 == ${HELPER_NOT_A_ROOT}
        MessageBox MB_OK|MB_ICONSTOP "В папке $INSTDIR нет установленного Varnix.$\r$\n$\r$\nЧтобы удалить Varnix, откройте Параметры > Приложения." /SD IDOK
        SetErrorLevel ${EXIT_REFUSED_DIRECTORY}
        Quit
    ${ElseIf} $R0 == ${HELPER_RUNNING}
        MessageBox MB_OK|MB_ICONEXCLAMATION "Varnix сейчас запущен.$\r$\n$\r$\nЗакройте Varnix и запустите удаление снова." /SD IDOK
        SetErrorLevel ${EXIT_REFUSED_RUNNING}
        Quit
    ${ElseIf} $R0 != ${HELPER_DONE}
        MessageBox MB_OK|MB_ICONSTOP "Не все файлы Varnix удалось удалить из папки $INSTDIR.$\r$\n$\r$\nЗакройте программы, которые могут их использовать, и запустите удаление снова." /SD IDOK
        SetErrorLevel ${EXIT_ABORTED}
        Quit
    ${EndIf}
    Delete "$INSTDIR\${UNINSTALLER_FILE}"
    ${If} $R8 == 1
        Delete "$SMPROGRAMS\${SHORTCUT_FILE}"
        Delete "$DESKTOP\${SHORTCUT_FILE}"
        DeleteRegKey HKCU "${UNINSTALL_KEY}"
    ${EndIf}
    ; Only when empty: whatever else the user put there stays.
    RMDir "$INSTDIR"
SectionEnd
