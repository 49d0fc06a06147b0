; Sweepkit.nsh: the install script is the uninstaller's only list.
;
; Every macro here does what its NSIS command does and records the entry at
; compile time; ${SkFinish} checks the list with `sweepkit pack --template`
; and puts the template and sweepkit-finish.exe into the installer, which
; finishes the uninstaller on the target. No uninstall section to write.
;
;   !include Sweepkit.nsh
;   ${SkVar} group                       ; a named value: --set group=$group
;   Section
;     ${SkUninstaller}                   ; first: writes uninstall.exe or aborts
;     ${SkOutPath} "$INSTDIR"
;     ${SkFile} "build\app.exe"
;     ${SkShortcut} "$SMPROGRAMS\$group\App.lnk" "$INSTDIR\app.exe"
;   SectionEnd
;   ${SkFinish} "App" "App 1.0" "1.0"    ; after the last section
;
; The README's NSIS section lists every macro and what it refuses.

!ifndef SWEEPKIT_NSH
!define SWEEPKIT_NSH

; The tools sit beside this header unless the script says otherwise.
!if "${__FILEDIR__}" == ""
  !define /ifndef SK_DIR "."
!else
  !define /ifndef SK_DIR "${__FILEDIR__}"
!endif
; makensis on Windows runs sweepkit.exe, elsewhere sweepkit; either takes
; paths with either separator.
!ifdef NSIS_WIN32_MAKENSIS
  !define /ifndef SK_SWEEPKIT "${SK_DIR}\sweepkit.exe"
!else
  !define /ifndef SK_SWEEPKIT "${SK_DIR}/sweepkit"
!endif
!define /ifndef SK_STUB "${SK_DIR}/sweepkit-stub.exe"
!define /ifndef SK_FINISHER "${SK_DIR}/sweepkit-finish.exe"
!define /ifndef SK_CODEPAGE 1252
!define /ifndef SK_KEY_CHUNKS list
!define /ifndef SK_UNINSTALLER "uninstall.exe"
!define /ifndef SK_ARP_ROOT HKLM

; NSIS folders by shell context, as the finisher's constants
!define _SkFolder_current_INSTDIR app
!define _SkFolder_current_SYSDIR sys
!define _SkFolder_current_WINDIR win
!define _SkFolder_current_FONTS fonts
!define _SkFolder_current_PROGRAMFILES pf
!define _SkFolder_current_COMMONFILES cf
!define _SkFolder_current_SMPROGRAMS programs
!define _SkFolder_current_STARTMENU startmenu
!define _SkFolder_current_DESKTOP desktop
!define _SkFolder_all_INSTDIR app
!define _SkFolder_all_SYSDIR sys
!define _SkFolder_all_WINDIR win
!define _SkFolder_all_FONTS fonts
!define _SkFolder_all_PROGRAMFILES pf
!define _SkFolder_all_COMMONFILES cf
!define _SkFolder_all_SMPROGRAMS commonprograms
!define _SkFolder_all_STARTMENU commonstartmenu
!define _SkFolder_all_DESKTOP commondesktop
; names a named value may not take: the finisher's own constants
!define _SkConstant_app
!define _SkConstant_win
!define _SkConstant_sys
!define _SkConstant_fonts
!define _SkConstant_desktop
!define _SkConstant_commondesktop
!define _SkConstant_programs
!define _SkConstant_commonprograms
!define _SkConstant_startmenu
!define _SkConstant_commonstartmenu
!define _SkConstant_pf
!define _SkConstant_cf
!define _SkRoot_HKLM HKEY_LOCAL_MACHINE
!define _SkRoot_HKCU HKEY_CURRENT_USER
!define _SkRoot_HKCR HKEY_CLASSES_ROOT
!define _SkRoot_HKU HKEY_USERS
!define _SkRoot_HKCC HKEY_CURRENT_CONFIG
!define _SkRoot_HKEY_LOCAL_MACHINE HKEY_LOCAL_MACHINE
!define _SkRoot_HKEY_CURRENT_USER HKEY_CURRENT_USER
!define _SkRoot_HKEY_CLASSES_ROOT HKEY_CLASSES_ROOT
!define _SkRoot_HKEY_USERS HKEY_USERS
!define _SkRoot_HKEY_CURRENT_CONFIG HKEY_CURRENT_CONFIG

!define _SkDollar "$"
!define _SkContext current
!define _SkSets ""
!tempfile _SkRecords
; the records go when makensis ends, however it ends
!system `"${SK_SWEEPKIT}" nsis-watch --records "${_SkRecords}"` = 0

Var /GLOBAL _SkMerge
Var /GLOBAL _SkRc
Var /GLOBAL _SkOut
Var /GLOBAL _SkN
Var /GLOBAL _SkSetArgs

; --- compile-time helpers -------------------------------------------------

; $_SkPath, declared with its first use: a variable no script line uses
; fails makensis -WX.
!macro _SkDeclarePath
  !ifndef _SkPathDeclared
    !define _SkPathDeclared
    Var /GLOBAL _SkPath
  !endif
!macroend

; a refusal stops makensis here: the records go first
!macro _SkError message
  !delfile /nonfatal "${_SkRecords}"
  !error "${message}"
!macroend

!macro _SkUndef name
  !ifdef ${name}
    !undef ${name}
  !endif
!macroend

; a step of sweepkit refused with _SkRefusal (its text holds no backquote):
; the build stops here, its temporary files gone
!macro _SkRefused
  !ifdef _SkRefusal
    !ifndef SK_TEMPLATE
      !ifdef _SkTemplate
        !delfile /nonfatal "${_SkTemplate}"
      !endif
    !endif
    !ifndef SK_MANIFEST
      !ifdef _SkManifest
        !delfile /nonfatal "${_SkManifest}"
      !endif
    !endif
    !delfile /nonfatal "${_SkRecords}"
    !error `${_SkRefusal}`
  !endif
!macroend

; _SkAt: the script file and line of the macro call being expanded (inside
; macros, ${__LINE__} reads "caller.line.in.macros").
!macro _SkWhere
  !insertmacro _SkUndef _Sk_line
  !searchparse /noerrors "${__LINE__}" "" _Sk_line "."
  !define /redef _SkAt "${__FILE__}:${_Sk_line}"
  !define /redef _SkScript "${__FILEDIR__}/${__FILE__}"
  !ifdef _SkFinished
    !insertmacro _SkError "${_SkAt}: recorded after SkFinish, which has already built the list"
  !endif
!macroend

; text as a JSON string body, into _Sk_j
!macro _SkJsonOf text
  !insertmacro _SkUndef _Sk_j
  !searchreplace _Sk_j `${text}` `\` `\\`
  !searchreplace _Sk_j `${_Sk_j}` `"` `\"`
  !searchreplace _Sk_j `${_Sk_j}` "$\n" `\n`
  !searchreplace _Sk_j `${_Sk_j}` "$\r" `\r`
  !searchreplace _Sk_j `${_Sk_j}` "$\t" `\t`
  !searchreplace _Sk_j `${_Sk_j}` `$` `\u0024`
  !searchreplace _Sk_j `${_Sk_j}` `<sk-dollar>` `\u0024`
!macroend

!macro _SkRecord json
  !appendfile /CHARSET=UTF8 "${_SkRecords}" `${json}$\n`
!macroend

; _SkText KIND TEXT: TEXT as manifest text (folders and variables as
; constants, braces doubled), JSON-escaped, into _Sk_j. KIND: path (a
; folder may begin it), named (variables only), text (folders anywhere).
!macro _SkText kind text
  !define /redef _Sk_kind `${kind}`
  !insertmacro _SkUndef _Sk_in
  !searchreplace _Sk_in `${text}` `$$` `<sk-dollar>`
  !define /redef _Sk_out ``
  !define /redef _Sk_first 1
  !insertmacro _SkTextStep
  !insertmacro _SkJsonOf `${_Sk_out}`
!macroend

!macro _SkCut char
  !insertmacro _SkUndef _Sk_cut
  !searchparse /noerrors `${_Sk_name}` `` _Sk_cut `${char}`
  !ifdef _Sk_cut
    !define /redef _Sk_name `${_Sk_cut}`
  !endif
!macroend

; one literal run and the variable after it, then the rest
!macro _SkTextStep
  !insertmacro _SkUndef _Sk_h
  !insertmacro _SkUndef _Sk_t
  !searchparse /noerrors `${_Sk_in}` `` _Sk_h `$` _Sk_t
  !ifdef _Sk_h
    ; texts may write constants as {app}; elsewhere a brace is literal
    !if "${_Sk_kind}" != "text"
      !searchreplace _Sk_h `${_Sk_h}` `{` `{{`
    !endif
    !define /redef _Sk_out `${_Sk_out}${_Sk_h}`
    !if `${_Sk_h}` != ``
      !define /redef _Sk_first 0
    !endif
  !endif
  !ifdef _Sk_t
    ; a variable's name ends at the first of these (names hold letters,
    ; digits and _; anything else left in it refuses it below)
    !define /redef _Sk_name `${_Sk_t}`
    !insertmacro _SkCut `\`
    !insertmacro _SkCut ` `
    !insertmacro _SkCut `.`
    !insertmacro _SkCut `-`
    !insertmacro _SkCut `(`
    !insertmacro _SkCut `)`
    !insertmacro _SkCut `'`
    !insertmacro _SkCut `,`
    !insertmacro _SkCut `;`
    !insertmacro _SkCut `+`
    !insertmacro _SkCut `[`
    !insertmacro _SkCut `]`
    !insertmacro _SkCut `{`
    !insertmacro _SkCut `}`
    !insertmacro _SkCut `&`
    !insertmacro _SkCut `=`
    !insertmacro _SkCut `$`
    !insertmacro _SkCut `/`
    !insertmacro _SkCut `:`
    !insertmacro _SkCut `!`
    !insertmacro _SkCut `#`
    !insertmacro _SkCut `%`
    !insertmacro _SkCut `@`
    !insertmacro _SkCut `~`
    !insertmacro _SkCut `^`
    !insertmacro _SkCut `"`
    !if `${_Sk_name}` == ``
      !insertmacro _SkError "${_SkAt}: a ${_SkDollar} that starts no variable (a dollar sign is written ${_SkDollar}${_SkDollar})"
    !endif
    !insertmacro _SkUndef _Sk_rest
    !searchparse /noerrors `${_Sk_t}` `${_Sk_name}` _Sk_rest
    !define /redef _Sk_in `${_Sk_rest}`
    !ifdef _SkFolder_${_SkContext}_${_Sk_name}
      !if "${_Sk_kind}" == "named"
        !insertmacro _SkError "${_SkAt}: ${_SkDollar}${_Sk_name} is a folder; only a named value (SkVar) can stand here"
      !else if "${_Sk_kind}${_Sk_first}" == "path0"
        !insertmacro _SkError "${_SkAt}: ${_SkDollar}${_Sk_name} can only begin a path"
      !endif
      !define /redef _Sk_out `${_Sk_out}{${_SkFolder_${_SkContext}_${_Sk_name}}}`
    !else ifdef _SkVar_${_Sk_name}
      !define /redef _Sk_out `${_Sk_out}{${_Sk_name}}`
    !else
      !insertmacro _SkError "${_SkAt}: ${_SkDollar}${_Sk_name} is not a folder the uninstaller can find on the target ($INSTDIR, $SMPROGRAMS, $STARTMENU, $DESKTOP, $SYSDIR, $WINDIR, $FONTS, $PROGRAMFILES, $COMMONFILES) nor a variable declared with SkVar"
    !endif
    !define /redef _Sk_first 0
    !insertmacro _SkTextStep
  !endif
!macroend

; _SkSplit PATH: the folder into _Sk_dir, the last name into _Sk_base, at
; the last \ or /
!macro _SkSplit path
  !define /redef _Sk_dir ``
  !define /redef _Sk_base `${path}`
  !insertmacro _SkSplitStep `\`
  !insertmacro _SkSplitStep `/`
!macroend

!macro _SkSplitStep sep
  !insertmacro _SkUndef _Sk_h
  !insertmacro _SkUndef _Sk_t
  !searchparse /noerrors `${_Sk_base}` `` _Sk_h `${sep}` _Sk_t
  !ifdef _Sk_t
    !if `${_Sk_dir}` == ``
      !define /redef _Sk_dir `${_Sk_h}`
    !else
      !define /redef _Sk_dir `${_Sk_dir}${sep}${_Sk_h}`
    !endif
    !define /redef _Sk_base `${_Sk_t}`
    !insertmacro _SkSplitStep `${sep}`
  !endif
!macroend

!macro _SkNeedOutPath
  !ifndef _SkOutDir
    !insertmacro _SkError "${_SkAt}: no folder to install into yet: set it with SkOutPath"
  !endif
!macroend

; force: the next entry's refusal as owner of a shared key or system folder
; becomes a warning
!macro _SkForceField
  !ifdef _SkForceNext
    !undef _SkForceNext
    !define /redef _Sk_force `,"force":true`
  !else
    !define /redef _Sk_force ``
  !endif
!macroend

!macro _SkNoWildcard char
  !insertmacro _SkUndef _Sk_t
  !searchparse /noerrors `${_Sk_base}` `` _Sk_h `${char}` _Sk_t
  !ifdef _Sk_t
    !insertmacro _SkError "${_SkAt}: a wildcard installs files the list cannot name; use SkTree for a folder"
  !endif
!macroend

; _SkInstall SOURCE FLAGS: File SOURCE into $OUTDIR, recorded with FLAGS
; (JSON members: ,"shared":true ...)
!macro _SkInstall source flags
  !insertmacro _SkNeedOutPath
  !insertmacro _SkSplit `${source}`
  !insertmacro _SkNoWildcard `*`
  !insertmacro _SkNoWildcard `?`
  File `/oname=${_SkOutDirNsis}\${_Sk_base}` `${source}`
  !define /redef _Sk_name `${_Sk_base}`
  !searchreplace _Sk_name `${_Sk_name}` `{` `{{`
  !insertmacro _SkJsonOf `${_Sk_name}`
  !define /redef _Sk_name `${_Sk_j}`
  !insertmacro _SkForceField
  !insertmacro _SkJsonOf `${_SkOutDirNsis}\${_Sk_base}`
  !define /redef _Sk_nsisj `${_Sk_j}`
  !insertmacro _SkJsonOf `${_SkScript}`
  !define /redef _Sk_scriptj `${_Sk_j}`
  !insertmacro _SkJsonOf `${_SkAt}`
  !insertmacro _SkRecord `{"k":"file","dir":"${_SkOutDir}","name":"${_Sk_name}"${flags}${_Sk_force},"script":"${_Sk_scriptj}","nsis":"${_Sk_nsisj}","at":"${_Sk_j}"}`
!macroend

; --- the author's macros ---------------------------------------------------

; ${SkVar} NAME: declares the variable $NAME, usable in recorded paths and
; keys as the named value {NAME}; the finisher gets --set NAME=<its value>.
!macro SkVar name
  !insertmacro _SkWhere
  !ifdef _SkConstant_${name}
    !insertmacro _SkError "${_SkAt}: ${name} is the name of a folder constant; give the variable another name"
  !endif
  Var /GLOBAL ${name}
  !define _SkVar_${name}
  !define /redef _SkSets `${_SkSets}${name} `
!macroend
!define SkVar "!insertmacro SkVar"

; ${SkShellContext} all|current: SetShellVarContext, followed by the
; recorded folders too (the header reads the script in order, so set the
; context before the entries it applies to).
!macro SkShellContext context
  !insertmacro _SkWhere
  !if "${context}" != "all"
    !if "${context}" != "current"
      !insertmacro _SkError "${_SkAt}: SkShellContext takes all or current"
    !endif
  !endif
  SetShellVarContext ${context}
  !define /redef _SkContext ${context}
!macroend
!define SkShellContext "!insertmacro SkShellContext"

; ${SkOutPath} PATH: SetOutPath; later files are recorded in PATH.
!macro SkOutPath path
  !insertmacro _SkWhere
  !insertmacro _SkText path `${path}`
  SetOutPath `${path}`
  !define /redef _SkOutDir `${_Sk_j}`
  !define /redef _SkOutDirNsis `${path}`
  !insertmacro _SkJsonOf `${_SkScript}`
  !define /redef _Sk_scriptj `${_Sk_j}`
  !insertmacro _SkJsonOf `${_SkAt}`
  !insertmacro _SkRecord `{"k":"outpath","script":"${_Sk_scriptj}","at":"${_Sk_j}"}`
!macroend
!define SkOutPath "!insertmacro SkOutPath"

; ${SkFile} SOURCE: File SOURCE into the output folder.
!macro SkFile source
  !insertmacro _SkWhere
  !insertmacro _SkInstall `${source}` ``
!macroend
!define SkFile "!insertmacro SkFile"

; ${SkSharedDll} SOURCE: a DLL other programs share; its SharedDLLs count
; goes up by one (a file already there without a count has a user already),
; once per installation: an upgrade or a repair over a release that counted
; it leaves the count alone (see _SkCountShared).
!macro SkSharedDll source
  !insertmacro _SkWhere
  !insertmacro _SkDeclarePath
  !insertmacro _SkSplit `${source}`
  !define /redef _SkSharedUsed
  StrCpy $_SkN 0
  IfFileExists `${_SkOutDirNsis}\${_Sk_base}` 0 +2
    StrCpy $_SkN 1
  !insertmacro _SkInstall `${source}` `,"shared":true`
  StrCpy $_SkPath `${_SkOutDirNsis}\${_Sk_base}`
  Call _SkCountShared
!macroend
!define SkSharedDll "!insertmacro SkSharedDll"

; ${SkFont} SOURCE NAME: a font (install into $FONTS), loaded and registered
; under NAME ("Vantor Sans (TrueType)"). The uninstaller removes the font
; and its file, but not the value NAME: the uninstall data names whole keys,
; and the Fonts key is every font's (Windows skips a value whose file is gone).
!macro SkFont source name
  !insertmacro _SkWhere
  !insertmacro _SkInstall `${source}` `,"font":true`
  System::Call `gdi32::AddFontResourceA(m "${_SkOutDirNsis}\${_Sk_base}") i`
  ClearErrors
  ReadRegStr $_SkRc HKLM "Software\Microsoft\Windows NT\CurrentVersion" "CurrentVersion"
  StrCmp $_SkRc "" +3
    WriteRegStr HKLM "Software\Microsoft\Windows NT\CurrentVersion\Fonts" `${name}` `${_Sk_base}`
    Goto +2
    WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Fonts" `${name}` `${_Sk_base}`
  SendMessage 0xFFFF 0x001D 0 0 /TIMEOUT=5000
!macroend
!define SkFont "!insertmacro SkFont"

; ${SkSelfReg} SOURCE: a self-registering DLL, registered once installed.
!macro SkSelfReg source
  !insertmacro _SkWhere
  !insertmacro _SkInstall `${source}` `,"selfreg":true`
  ClearErrors
  RegDLL `${_SkOutDirNsis}\${_Sk_base}`
  IfErrors 0 +2
    DetailPrint `Could not register ${_SkOutDirNsis}\${_Sk_base}`
!macroend
!define SkSelfReg "!insertmacro SkSelfReg"

; ${SkTree} SOURCE: every file below the folder SOURCE, into the output
; folder keeping the tree; every file and every folder recorded (the folder
; list is made by `sweepkit nsis-tree` when the script is compiled).
!macro SkTree source
  !insertmacro _SkWhere
  !insertmacro _SkNeedOutPath
  !insertmacro _SkJsonOf `${source}`
  !define /redef _Sk_src `${_Sk_j}`
  !insertmacro _SkJsonOf `${_SkOutDirNsis}`
  !define /redef _Sk_nsis `${_Sk_j}`
  !insertmacro _SkJsonOf `${_SkAt}`
  !tempfile _Sk_request
  !tempfile _Sk_include
  !appendfile /CHARSET=UTF8 "${_Sk_request}" `{"at":"${_Sk_j}","src":"${_Sk_src}","dest":"${_SkOutDir}","nsis_dest":"${_Sk_nsis}"}$\n`
  !system `"${SK_SWEEPKIT}" nsis-tree --request "${_Sk_request}" --records "${_SkRecords}" --out "${_Sk_include}"` = 0
  !include /CHARSET=UTF8 "${_Sk_include}"
  !delfile "${_Sk_request}"
  !delfile "${_Sk_include}"
  !undef _Sk_request
  !undef _Sk_include
  !insertmacro _SkRefused
!macroend
!define SkTree "!insertmacro SkTree"

; ${SkDir} PATH: CreateDirectory, and the folder removed when it is empty.
!macro SkDir path
  !insertmacro _SkWhere
  !insertmacro _SkText path `${path}`
  !insertmacro _SkForceField
  !define /redef _Sk_dirj `${_Sk_j}`
  !insertmacro _SkJsonOf `${path}`
  !define /redef _Sk_nsisj `${_Sk_j}`
  !insertmacro _SkJsonOf `${_SkAt}`
  !insertmacro _SkRecord `{"k":"file","dir":"${_Sk_dirj}","name":""${_Sk_force},"nsis":"${_Sk_nsisj}","at":"${_Sk_j}"}`
  CreateDirectory `${path}`
!macroend
!define SkDir "!insertmacro SkDir"

; ${SkShortcut} LINK TARGET and ${SkShortcutEx} LINK TARGET MORE (the rest
; of CreateShortCut's arguments as written). The link's folder is created;
; the uninstaller removes it after the shortcut when it is empty (shortcuts
; are listed deepest folder first, whatever their order here). A desktop
; shortcut is listed as a file, which never takes the desktop with it.
!macro SkShortcutEx link target more
  !insertmacro _SkWhere
  !insertmacro _SkSplit `${link}`
  !define /redef _Sk_linkdir `${_Sk_dir}`
  !define /redef _Sk_linkname `${_Sk_base}`
  !insertmacro _SkText path `${_Sk_linkdir}`
  !define /redef _Sk_dirj `${_Sk_j}`
  !insertmacro _SkText named `${_Sk_linkname}`
  !define /redef _Sk_namej `${_Sk_j}`
  !insertmacro _SkForceField
  !insertmacro _SkJsonOf `${link}`
  !define /redef _Sk_nsisj `${_Sk_j}`
  !insertmacro _SkJsonOf `${_SkAt}`
  !if "${_Sk_dirj}" == "{desktop}"
    !define /redef _Sk_kindj file
  !else if "${_Sk_dirj}" == "{commondesktop}"
    !define /redef _Sk_kindj file
  !else
    !define /redef _Sk_kindj shortcut
    CreateDirectory `${_Sk_linkdir}`
  !endif
  !insertmacro _SkRecord `{"k":"${_Sk_kindj}","dir":"${_Sk_dirj}","name":"${_Sk_namej}"${_Sk_force},"nsis":"${_Sk_nsisj}","at":"${_Sk_j}"}`
  CreateShortCut `${link}` `${target}` ${more}
!macroend
!macro SkShortcut link target
  !insertmacro SkShortcutEx `${link}` `${target}` ``
!macroend
!define SkShortcutEx "!insertmacro SkShortcutEx"
!define SkShortcut "!insertmacro SkShortcut"

; ${SkKey} ROOT PATH: the key (and all below it) is the application's; the
; script writes its values as usual. Listed when this line runs (one
; instruction: a variable set), an SHCTX key under the root of the shell
; context it runs in.
!macro SkKey root path
  !insertmacro _SkWhere
  !ifdef __GLOBAL__
    !insertmacro _SkError "${_SkAt}: SkKey belongs in the section (or function) that writes the key: the key is listed when that line runs"
  !endif
  !define /ifndef _SkKeyMarks 0
  !define /redef /math _SkKeyMarks ${_SkKeyMarks} + 1
  Var /GLOBAL _SkK${_SkKeyMarks}
  !insertmacro _SkKeyRecord `${root}` `${path}` ${_SkKeyMarks}
  !if "${_Sk_shctx}" == "true"
    StrCpy $_SkK${_SkKeyMarks} $SMPROGRAMS
  !else
    StrCpy $_SkK${_SkKeyMarks} 1
  !endif
!macroend
!define SkKey "!insertmacro SkKey"

!macro _SkKeyRecord root path mark
  !if "${root}" == "SHELL_CONTEXT"
    !define /redef _Sk_rootname SHCTX
  !else
    !define /redef _Sk_rootname `${root}`
  !endif
  !define /redef _Sk_shctx false
  !if "${_Sk_rootname}" == "SHCTX"
    !define /redef _Sk_root HKEY_CURRENT_USER
    !define /redef _Sk_shctx true
  !else ifdef _SkRoot_${root}
    !define /redef _Sk_root ${_SkRoot_${root}}
  !else
    !insertmacro _SkError "${_SkAt}: ${root} is not a registry root (HKLM, HKCU, HKCR, HKU, HKCC, SHCTX)"
  !endif
  !insertmacro _SkText named `${path}`
  !define /redef _Sk_pathj `${_Sk_j}`
  !insertmacro _SkForceField
  !insertmacro _SkJsonOf `${_SkAt}`
  !insertmacro _SkRecord `{"k":"key","root":"${_Sk_root}","path":"${_Sk_pathj}"${_Sk_force},"mark":"${mark}","shctx":${_Sk_shctx},"at":"${_Sk_j}"}`
!macroend

; ${SkForce}: the next entry names a shared key or system folder that this
; application truly owns; the packer then warns instead of refusing.
!macro SkForce
  !define /redef _SkForceNext
!macroend
!define SkForce "!insertmacro SkForce"

; ${SkUninstaller}: first thing in the first section. Writes the uninstaller
; and the Add/Remove Programs entry, or aborts before anything is installed.
!macro SkUninstaller
  !insertmacro _SkWhere
  !define /redef _SkUninstallerCalled
  Call _SkWriteUninstaller
!macroend
!define SkUninstaller "!insertmacro SkUninstaller"

; ${SkFinish} KEY DISPLAYNAME VERSION: after the last section. Records the
; Add/Remove Programs key Software\...\Uninstall\KEY, checks the list with
; the authoring rules (a refusal stops the build at the line that recorded
; the entry), and builds the function ${SkUninstaller} calls. Texts:
; !define SK_TEXT_<role> before it to change one.
!macro SkFinish key display version
  !insertmacro _SkWhere
  !ifndef _SkUninstallerCalled
    !insertmacro _SkError "${_SkAt}: no section calls SkUninstaller, so no uninstaller would be written"
  !endif
  !define _SkArpKey "Software\Microsoft\Windows\CurrentVersion\Uninstall\${key}"
  ; marked by _SkWriteUninstaller, which writes it
  Var /GLOBAL _SkKarp
  !insertmacro _SkKeyRecord ${SK_ARP_ROOT} `${_SkArpKey}` arp

  !define /ifndef SK_TEXT_caption "Uninstall"
  !define /ifndef SK_TEXT_confirm "This program will uninstall ${display} from {app}. Click OK to continue."
  !define /ifndef SK_TEXT_done "${display} has been successfully removed from your hard drive."
  !define /ifndef SK_TEXT_yes "&Yes"
  !define /ifndef SK_TEXT_yes_all "Yes to &all"
  !define /ifndef SK_TEXT_no "&No"
  !define /ifndef SK_TEXT_no_all "No t&o all"
  !define /ifndef SK_TEXT_out_of_memory "Out of memory!"
  !define /ifndef SK_TEXT_invalid_info "Invalid uninstall info. This program cannot uninstall ${display}."
  !define /ifndef SK_TEXT_write_protected "The following file is write-protected:$\n%s$\nDo you want to remove it anyway?"
  !define /ifndef SK_TEXT_shared_unused "The following system file is apparently no longer used:$\n%s$\nDo you want to remove it?"
  !insertmacro _SkJsonOf `${_SkAt}`
  !define /redef _Sk_at `${_Sk_j}`
  !insertmacro _SkFinishText caption
  !insertmacro _SkFinishText confirm
  !insertmacro _SkFinishText done
  !insertmacro _SkFinishText yes
  !insertmacro _SkFinishText yes_all
  !insertmacro _SkFinishText no
  !insertmacro _SkFinishText no_all
  !insertmacro _SkFinishText out_of_memory
  !insertmacro _SkFinishText invalid_info
  !insertmacro _SkFinishText write_protected
  !insertmacro _SkFinishText shared_unused

  !ifdef SK_TEMPLATE
    !define _SkTemplate "${SK_TEMPLATE}"
  !else
    !tempfile _SkTemplate
  !endif
  !ifdef SK_MANIFEST
    !define _SkManifest "${SK_MANIFEST}"
  !else
    !tempfile _SkManifest
  !endif
  !ifdef SK_WERROR
    !define /redef _Sk_werror true
  !else
    !define /redef _Sk_werror false
  !endif
  !define /redef _Sk_settings `{"k":"settings","at":"${_Sk_at}","codepage":${SK_CODEPAGE},"key_chunks":"${SK_KEY_CHUNKS}","werror":${_Sk_werror}`
  !insertmacro _SkJsonOf `${SK_STUB}`
  !define /redef _Sk_settings `${_Sk_settings},"stub":"${_Sk_j}"`
  !insertmacro _SkJsonOf `${_SkTemplate}`
  !define /redef _Sk_settings `${_Sk_settings},"template":"${_Sk_j}"`
  !insertmacro _SkJsonOf `${_SkManifest}`
  !insertmacro _SkRecord `${_Sk_settings},"manifest":"${_Sk_j}"}`

  !tempfile _Sk_include
  !system `"${SK_SWEEPKIT}" nsis-check --records "${_SkRecords}" --out "${_Sk_include}"` = 0
  !delfile "${_SkRecords}"
  !define _SkFinished
  !include /CHARSET=UTF8 "${_Sk_include}"
  !delfile "${_Sk_include}"
  !insertmacro _SkRefused

  ; The uninstaller written before anything is installed lists what an
  ; earlier uninstaller there lists, and the Add/Remove Programs key; the
  ; hidden section after the author's finishes it with what this
  ; installation wrote.
  Function _SkWriteUninstaller
    StrCpy $_SkOut $OUTDIR
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    File "/oname=sweepkit-finish.exe" "${SK_FINISHER}"
    File "/oname=uninstall.skt" "${_SkTemplate}"
    CreateDirectory "$INSTDIR"
    StrCpy $_SkKarp $SMPROGRAMS
    Call _SkKeepEarly
    StrCpy $_SkMerge ""
    IfFileExists "$INSTDIR\${SK_UNINSTALLER}" 0 +2
      StrCpy $_SkMerge '--merge "$INSTDIR\${SK_UNINSTALLER}"'
    StrCpy $_SkSetArgs ""
    !if `${_SkSets}` != ``
      !insertmacro _SkDeclarePath
    !endif
    !insertmacro _SkSetArgs `${_SkSets}`
    DetailPrint "Writing the uninstaller $INSTDIR\${SK_UNINSTALLER}"
    nsExec::ExecToStack '"$PLUGINSDIR\sweepkit-finish.exe" "$PLUGINSDIR\uninstall.skt" "$INSTDIR\${SK_UNINSTALLER}"$_SkSetArgs $_SkMerge --only "$PLUGINSDIR\sk-keep" --note "$PLUGINSDIR\sk-noted"'
    Pop $_SkRc ; the exit code, or "error" when it could not be started
    Pop $_SkN  ; what it wrote
    StrCmp $_SkRc "0" _SkWritten
      DetailPrint "sweepkit-finish: $_SkN"
      RMDir "$INSTDIR" ; only when it is still empty
      MessageBox MB_OK|MB_ICONSTOP "${display} cannot be installed: the uninstaller could not be written (exit code $_SkRc).$\r$\n$\r$\n$_SkN" /SD IDOK
      SetErrorLevel 2
      Abort "The uninstaller could not be written."
    _SkWritten:
    WriteRegStr ${SK_ARP_ROOT} "${_SkArpKey}" "DisplayName" "${display}"
    WriteRegStr ${SK_ARP_ROOT} "${_SkArpKey}" "DisplayVersion" "${version}"
    WriteRegStr ${SK_ARP_ROOT} "${_SkArpKey}" "UninstallString" '"$INSTDIR\${SK_UNINSTALLER}"'
    StrCmp $_SkOut "" +2
      SetOutPath $_SkOut
  FunctionEnd

  Function _SkFinishUninstaller
    StrCpy $_SkOut $OUTDIR
    Call _SkAfter
    DetailPrint "Finishing the uninstaller $INSTDIR\${SK_UNINSTALLER}"
    nsExec::ExecToStack '"$PLUGINSDIR\sweepkit-finish.exe" "$PLUGINSDIR\uninstall.skt" "$INSTDIR\${SK_UNINSTALLER}"$_SkSetArgs --merge "$INSTDIR\${SK_UNINSTALLER}" --only "$PLUGINSDIR\sk-keep" --noted "$PLUGINSDIR\sk-noted"'
    Pop $_SkRc
    Pop $_SkN
    StrCmp $_SkRc "0" _SkFinished
      DetailPrint "sweepkit-finish: $_SkN"
      MessageBox MB_OK|MB_ICONEXCLAMATION "${display} is installed, but its uninstaller could not list what this installation wrote (exit code $_SkRc); it removes only what an earlier installation listed.$\r$\n$\r$\n$_SkN" /SD IDOK
      SetErrorLevel 2
    _SkFinished:
    StrCmp $_SkOut "" +2
      SetOutPath $_SkOut
  FunctionEnd

  ; after the author's sections, whichever of them ran
  Section "-Sweepkit uninstaller"
    Call _SkFinishUninstaller
  SectionEnd

  !if `${_SkSets}` != ``
  ; $_SkPath as the inside of a quoted argument that the finisher reads back
  ; as it was: a quote escaped, and a run of backslashes doubled where a
  ; quote or the closing quote follows it (so a value may end in \ or hold ").
  Var /GLOBAL _SkQ
  Var /GLOBAL _SkI
  Var /GLOBAL _SkC
  Var /GLOBAL _SkB
  Function _SkQuoteArg
    StrCpy $_SkQ "" ; what is written so far
    StrCpy $_SkI 0  ; the next character
    StrCpy $_SkB "" ; backslashes not written yet
    _SkQuoteNext:
      StrCpy $_SkC $_SkPath 1 $_SkI
      StrCmp $_SkC "" _SkQuoteEnd
      IntOp $_SkI $_SkI + 1
      StrCmp $_SkC "\" 0 +3
        StrCpy $_SkB "$_SkB\"
        Goto _SkQuoteNext
      StrCmp $_SkC '"' 0 +3
        StrCpy $_SkQ '$_SkQ$_SkB$_SkB\"'
        Goto +2
        StrCpy $_SkQ "$_SkQ$_SkB$_SkC"
      StrCpy $_SkB ""
      Goto _SkQuoteNext
    _SkQuoteEnd:
    StrCpy $_SkPath "$_SkQ$_SkB$_SkB"
  FunctionEnd
  !endif

  !ifdef _SkSharedUsed
  ; The SharedDLLs count of $_SkPath up by one, from $_SkN when it has none.
  ; The installation marks each file it counted under its Add/Remove Programs
  ; key, which the uninstaller removes with everything else; a file marked
  ; there is counted already, so installing again does not count it twice.
  Function _SkCountShared
    ClearErrors
    ReadRegStr $_SkRc ${SK_ARP_ROOT} "${_SkArpKey}\SharedDLLs" $_SkPath
    IfErrors 0 _SkCounted
    ClearErrors
    ReadRegDWORD $_SkRc HKLM "Software\Microsoft\Windows\CurrentVersion\SharedDLLs" $_SkPath
    IfErrors +2
      StrCpy $_SkN $_SkRc
    IntOp $_SkN $_SkN + 1
    WriteRegDWORD HKLM "Software\Microsoft\Windows\CurrentVersion\SharedDLLs" $_SkPath $_SkN
    WriteRegStr ${SK_ARP_ROOT} "${_SkArpKey}\SharedDLLs" $_SkPath "counted"
    _SkCounted:
  FunctionEnd
  !endif

  !ifndef SK_TEMPLATE
    !delfile "${_SkTemplate}"
  !endif
  !ifndef SK_MANIFEST
    !delfile "${_SkManifest}"
  !endif
!macroend
!define SkFinish "!insertmacro SkFinish"

; _SkSetArgs "NAME NAME ": --set "NAME=<its value>" for each into $_SkSetArgs
!macro _SkSetArgs names
  !if `${names}` != ``
    !insertmacro _SkUndef _Sk_sh
    !insertmacro _SkUndef _Sk_st
    !searchparse /noerrors `${names}` `` _Sk_sh ` ` _Sk_st
    !define /redef _Sk_st_${_Sk_sh} `${_Sk_st}`
    StrCpy $_SkPath ${_SkDollar}${_Sk_sh}
    Call _SkQuoteArg
    StrCpy $_SkSetArgs `$_SkSetArgs --set "${_Sk_sh}=$_SkPath"`
    !insertmacro _SkSetArgs `${_Sk_st_${_Sk_sh}}`
  !endif
!macroend

!macro _SkFinishText role
  !insertmacro _SkText text `${SK_TEXT_${role}}`
  !insertmacro _SkRecord `{"k":"text","role":"${role}","text":"${_Sk_j}","at":"${_Sk_at}"}`
!macroend

!endif ; SWEEPKIT_NSH
