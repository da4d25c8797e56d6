#!/usr/bin/env bash
# run-e2e.sh BUILD_DIR PREFIX
# End-to-end suite of dravlin.exe under Wine: each case runs in a fresh copy of the finished
# prefix PREFIX (32-bit for the i686 build, 64-bit for the x86_64 one; `wine` must be the loader
# that fits), headless under Xvfb, drives the window with the pointer and the keyboard
# (xdotool), reads it with probe.exe, and checks the log, the registry and the files.
# Screenshots of the main window go to BUILD_DIR/artifacts/. Needs: wine, xdotool,
# imagemagick, Xvfb (when no display is given). Exit status: 0 when every check passed.
set -uo pipefail

build=$(cd "$1" && pwd)
base=$2
exe=$build/src/app/win32/dravlin.exe
probe=$build/tests/wine/probe.exe
artifacts=$build/artifacts
for tool in wine xdotool import; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done
[[ -f $exe && -f $probe && -d $base/drive_c ]] || { echo "usage: $0 BUILD_DIR PREFIX" >&2; exit 2; }
mkdir -p "$artifacts"
work=$(mktemp -d /tmp/dravlin-e2e.XXXXXX)

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The base prefix belongs to the caller and is only copied; WINEPREFIX names this suite's copies.
unset WINEARCH WINEPREFIX

xvfb_pid=
cleanup() {
  if [[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]]; then timeout 20 wineserver -k 2>/dev/null; fi
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null
  # E2E_KEEP=1 keeps the prefixes for a look afterwards.
  [[ ${E2E_KEEP:-} == 1 ]] && echo "prefixes kept in $work" || rm -rf "$work"
}
trap cleanup EXIT

# A display of our own unless the caller gave one that answers.
if [[ -z ${DISPLAY:-} ]] || ! xdotool getdisplaygeometry >/dev/null 2>&1; then
  command -v Xvfb >/dev/null || { echo "missing tool: Xvfb" >&2; exit 2; }
  exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
  xvfb_pid=$!
  read -r -t 10 display_number <&3 || { echo "Xvfb did not start" >&2; exit 2; }
  export DISPLAY=:$display_number
fi

failures=0
checks=0
case_name=
pass() { checks=$((checks + 1)); printf '  ok   %s\n' "$1"; }
fail() {
  checks=$((checks + 1)); failures=$((failures + 1))
  printf '  FAIL %s\n' "$1"
  [[ $# -gt 1 ]] && printf '       %s\n' "${@:2}"
  return 0
}
expect_eq() {  # DESCRIPTION ACTUAL EXPECTED
  if [[ $2 == "$3" ]]; then pass "$1"; else fail "$1" "expected: $3" "actual:   $2"; fi
}
expect_match() {  # DESCRIPTION TEXT REGEX
  if [[ $2 =~ $3 ]]; then pass "$1"; else fail "$1" "expected to match: $3" "actual: $2"; fi
}
# Wine gaps are named where the suite meets them.
gap() { printf '  gap  %s\n' "$1"; }

title='QZ.html - Hijack Fixer'
wine_fonts=/usr/share/wine/fonts
fonts_gap_named=0
live='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows'
parked='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows_Hijacked'
runonce='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnce'
services='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServicesOnce'
install_dir='C:\Program Files\Dravlin Tool'
# Control ids of the window: 100 + the control's place in the window's design order.
id_frame=101 id_command3=102 id_command1=103 id_label5=104 id_label1=105 id_label4=106
id_label3=107 id_line=108 id_label2=109 id_check=110 id_close=111 id_start=112

# ---------------------------------------------------------------------------------------------
# Prefix, program and registry

# new_prefix NAME VERSION [LOCALE]: a private copy of the base prefix set to a Windows version.
new_prefix() {
  local name=$1 version=$2 locale=${3:-}
  if [[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]]; then timeout 20 wineserver -k 2>/dev/null; fi
  export WINEPREFIX=$work/$name
  cp -a "$base" "$WINEPREFIX"
  # Wine takes the user's locale from LC_ALL; it needs no locale installed on the host. Only the
  # program gets it (the program that RunOnce starts again inherits it through Wine's restart).
  program_locale=$locale
  # Without a window manager Wine stalls about 2 s on every window close; unmanaged windows
  # do not, and Wine draws their frames itself.
  wreg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
  wreg add 'HKCU\Software\Wine' /v Version /d "$version" /f
  drive=$WINEPREFIX/drive_c
  # Wine gap (this Debian build): the prefix's Fonts folder stays empty and Wine's own fonts
  # (Tahoma, MS Sans Serif, Marlett) are not found, so every face falls back to a host font.
  # The suite puts them where Windows keeps its fonts, so that the screenshots show the faces
  # the window asks for. Wine ships no "MS Serif": the version label falls back to a host font.
  if [[ ! -e $drive/windows/Fonts/tahoma.ttf && -d $wine_fonts ]]; then
    cp "$wine_fonts"/* "$drive/windows/Fonts/"
    ((fonts_gap_named++)) || gap "the prefix has none of Wine's own fonts; the suite copies them from $wine_fonts"
  fi
  program_dir="$drive/Program Files/Dravlin Tool"
  log_file=$program_dir/dravlin.log
  mkdir -p "$program_dir" "$drive/e2e"
  cp "$exe" "$program_dir/"
  cp "$probe" "$drive/e2e/"
  agent_generation=0
}

wreg() { timeout 30 wine reg "$@" >/dev/null 2>&1; }
# reg_value KEY NAME: the value's data as reg prints it (empty when missing).
reg_value() {
  local line rest
  while IFS= read -r line; do
    line=${line%$'\r'}
    [[ $line == "    $2    REG_"* ]] || continue
    rest=${line#"    $2    REG_"}
    [[ $rest =~ ^[A-Z_]+( {4}(.*))?$ ]] || continue
    printf '%s\n' "${BASH_REMATCH[2]}"
    return 0
  done < <(timeout 30 wine reg query "$1" /v "$2" 2>/dev/null)
  return 1
}
# exported_value KEY NAME: the value's right-hand side in a regedit export ("" for an empty
# string). Wine gap: `reg query` prints leftover bytes for a string value of zero bytes, so
# string values that may be empty are read through regedit's export.
exported_value() {
  rm -f "$work/export.reg"
  timeout 30 wine regedit /e "$(winepath_of "$work/export.reg")" "${1/#HKLM/HKEY_LOCAL_MACHINE}" >/dev/null 2>&1
  iconv -f UTF-16LE -t UTF-8 "$work/export.reg" 2>/dev/null | tr -d '\r' |
    sed -n "s/^\"$2\"=//p" | grep .
}
key_exists() { timeout 30 wine reg query "$1" >/dev/null 2>&1; }
import_reg() {  # TEXT of a REGEDIT4 file
  printf '%s\r\n' "$@" >"$work/import.reg"
  timeout 30 wine regedit /s "$(winepath_of "$work/import.reg")" >/dev/null 2>&1
}
winepath_of() { printf 'Z:%s' "${1//\//\\}"; }

# The stealth value as the infected machine shows it: only blanks. Under Wine no DLL is really
# loaded to hide the path, so the value simply is blanks.
infect_nt() {
  import_reg 'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows]' \
    '"AppInit_DLLs"=hex(1):20,20,20,20,20,20,20,20,20,20,20,20,20,20,20,20,00' \
    '"DeviceNotSelectedTimeout"="15"'
  printf 'MZ' >"$drive/windows/system32/qzhook.dll"
}

# ---------------------------------------------------------------------------------------------
# The program and its window

start_program() {
  # Started from its own folder, as a user would; the suite never waits for it.
  (cd "$program_dir" && exec env ${program_locale:+LC_ALL=$program_locale} wine dravlin.exe \
    >/dev/null 2>&1 &)
}

# After Wine restarts a prefix, a process started from outside waits until every program of
# the RunOnce key has ended (Wine holds its boot event until then), so an probe started
# beside the restarted program would hang. The suite therefore talks to an probe that lives
# inside the prefix: started once from outside before the restart, and again by RunOnce itself
# (Wine runs RunOnce entries from the last one back, so the suite adds its entry after the
# program wrote "dravlin", and names it to sort after it; --detach returns at once so that the
# next entry runs).
start_agent() {
  rm -f "$drive/e2e/request" "$drive/e2e/response"
  timeout 30 wine 'C:\e2e\probe.exe' --detach 'C:\e2e' >/dev/null 2>&1
}
agent_on_restart() {
  wreg add "$runonce" /v 'zz-e2e-probe' /d 'C:\e2e\probe.exe --detach C:\e2e' /f
}

# inspect [prefix] TITLE [SECONDS]: reads the window into $report; false when it is not there
# within SECONDS (default 10).
inspect() {
  local mode=
  if [[ $1 == prefix ]]; then mode='prefix '; shift; fi
  local want=$1 seconds=${2:-10} deadline answer
  deadline=$((SECONDS + seconds))
  report=
  while ((SECONDS <= deadline)); do
    rm -f "$drive/e2e/response"
    printf '%s%s\n' "$mode" "$want" >"$drive/e2e/request.tmp"
    mv "$drive/e2e/request.tmp" "$drive/e2e/request"
    local waited=0
    while [[ ! -f $drive/e2e/response ]] && ((waited < 50)); do sleep 0.1; waited=$((waited + 1)); done
    if [[ -f $drive/e2e/response ]]; then
      answer=$(cat "$drive/e2e/response")
      if [[ ${answer%%$'\n'*} == found ]]; then
        report=${answer#*$'\n'}
        return 0
      fi
    fi
    sleep 0.3
  done
  rm -f "$drive/e2e/request"
  return 1
}
# field ID KEY: a field of the control with that id from the last report ("window" for ID
# gives the window line).
field() {
  local line
  if [[ $1 == window ]]; then
    line=$(grep -m1 '^window' <<<"$report")
  else
    line=$(grep -m1 -P "^control\t.*\tid=$1\t" <<<"$report")
  fi
  tr '\t' '\n' <<<"$line" | sed -n "s/^$2=//p"
}
# The X window of a top-level Win32 window, by its exact title.
xwindow() { xdotool search --name "^$1\$" 2>/dev/null | head -1; }
# wait_field ID FIELD VALUE SECONDS: waits until the main window's control reports VALUE for
# FIELD (the program may still be busy after the suite's last action; the report then holds that
# window); false when it did not within SECONDS.
wait_field() {
  local deadline=$((SECONDS + $4))
  while ((SECONDS <= deadline)); do
    inspect "$title" 2 && [[ $(field "$1" "$2") == "$3" ]] && return 0
    sleep 0.3
  done
  return 1
}
wait_caption() { wait_field "$1" text "$2" "$3"; }  # ID TEXT SECONDS
click_control() {  # ID: clicks the control's centre in the main window
  local at x win
  at=$(field "$1" at)
  win=$(xwindow "$(field window title)")
  x=${at%,*}
  xdotool mousemove --window "$win" "$x" "${at#*,}" click 1
}
# answer_box: presses Enter on the message box titled "Dravlin" (the pointer gives it the focus).
answer_box() {
  local win
  win=$(xwindow Dravlin)
  [[ -n $win ]] && xdotool mousemove --window "$win" 10 40 key Return
}
screenshot() {  # TITLE FILE
  local win
  win=$(xwindow "$1")
  [[ -n $win ]] && import -window "$win" "$artifacts/$2" 2>/dev/null
}
# A dravlin.exe of this case's prefix (other prefixes may run their own).
program_running() {
  local pid
  for pid in $(pgrep -f 'dravlin\.exe'); do
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}
# wait_for_exit SECONDS: true when no dravlin.exe of this prefix runs any more.
wait_for_exit() {
  local deadline=$((SECONDS + $1))
  while ((SECONDS <= deadline)); do
    program_running || return 0
    sleep 0.2
  done
  return 1
}
# NUL characters of registry texts that the program logs as it read them are dropped here.
log_text() { tr -d '\r\0' <"$log_file" 2>/dev/null; }
# The log's message texts without their time stamps (everything before the first
# " Dravlin", " Stealth", ... is the date and time of the user's regional settings).
log_messages() { log_text | sed -E 's/^[0-9]{1,4}[./-][0-9]{1,2}[./-][0-9]{1,4} [0-9]{1,2}:[0-9]{2}:[0-9]{2}( [AP]M)?//'; }

# ---------------------------------------------------------------------------------------------
# Shared checks

# check_first_window LANGUAGE CAPTION: the window as start-up leaves it.
check_first_window() {
  local lang=$1 caption=$2
  # Without a window manager the keyboard focus follows the pointer: the user's pointer is on
  # the window before the focus is judged.
  xdotool mousemove --window "$(xwindow "$title")" 100 100
  sleep 0.3
  inspect "$title" 5
  expect_eq "title" "$(field window title)" "$title"
  expect_eq "client area 5550 x 3450 twips at 96 dpi" "$(field window client)" "370,230"
  expect_eq "start button caption" "$(field $id_start text)" "$caption"
  expect_eq "start button is the default button" "$(field $id_start default)" 1
  expect_eq "start button has the focus" "$(field $id_start focus)" 1
  expect_eq "start button place (3200,3000,2200,375 twips)" "$(field $id_start rect)" "213,200,147,25"
  expect_eq "close button place (120,3000,2200,375 twips)" "$(field $id_close rect)" "8,200,147,25"
  expect_eq "frame place (120,120,5295,2775 twips)" "$(field $id_frame rect)" "8,8,353,185"
  expect_eq "version label" "$(field $id_label5 text)" "v1.07"
  expect_eq "tab stops: start and close only" \
    "$(grep -c -P '\ttabstop=1$' <<<"$report")/$(field $id_start tabstop)$(field $id_close tabstop)" "2/11"
  expect_eq "hidden test controls" \
    "$(field $id_command1 visible)$(field $id_command3 visible)$(field $id_check visible)" "000"
  expect_match "partner line is set" "$(field $id_label4 text)" '.+'
  if [[ $lang == de ]]; then
    expect_eq "close caption" "$(field $id_close text)" "Schliessen"
    expect_eq "frame caption" "$(field $id_frame text)" "Erklärung"
    expect_eq "heading" "$(field $id_label3 text)" "In Zusammenarbeit mit:"
    expect_eq "explanation" "$(field $id_label2 text)" \
      "Mit Klick auf 'Desinfektion starten' wird der erste Schritt ausgeführt.\\r\\n\\r\\nDanach muss Ihr Rechner neu gestartet werden.\\r\\n\\r\\nNach dem Neustart ruft sich das Programm selbständig\\r\\nneu auf und die Desinfektion kann abgeschlossen werden."
  else
    expect_eq "close caption" "$(field $id_close text)" "close"
    expect_eq "frame caption" "$(field $id_frame text)" "Description"
    expect_eq "heading" "$(field $id_label3 text)" "In cooperation with:"
    expect_eq "explanation" "$(field $id_label2 text)" \
      "With click on 'start disinfection' the first step will be executed.\\r\\n\\r\\nAfter that your computer will be be restarted.\\r\\n\\r\\nAfter the restart the program calls itself independently\\r\\nand the disinfection can be completed."
  fi
}

# run_case NAME: runs the function case_NAME and reports its time.
run_case() {
  local started=$SECONDS
  case_name=$1
  echo "== $1"
  "case_$1"
  if [[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]]; then timeout 20 wineserver -k 2>/dev/null; fi
  echo "   ($((SECONDS - started)) s)"
}

# ---------------------------------------------------------------------------------------------
# Cases

# Windows XP, infected, the whole road with Wine's real restart. LANGUAGE en or de.
nt_road() {
  local lang=$1 version=$2 locale= start_caption complete_caption restart_text
  if [[ $lang == de ]]; then
    locale=de_DE.UTF-8
    start_caption="Desinfektion starten" complete_caption="Desinfektion abschliessen"
    restart_text="Ihr Computer wird jetzt neu gestartet."
  else
    start_caption="start disinfection" complete_caption="Complete disinfection"
    restart_text="Your computer will be restarted now."
  fi
  new_prefix "$case_name" "$version" "$locale"
  infect_nt
  start_agent
  start_program
  if ! inspect "$title" 15; then fail "the window appears"; return; fi
  check_first_window "$lang" "$start_caption"
  screenshot "$title" "main-window-$lang-$version.png"
  gap "the window frame in the screenshot is drawn by Wine itself (unmanaged window, no window manager)"

  click_control $id_start
  if ! inspect Dravlin 15; then fail "restart message appears"; return; fi
  expect_eq "restart message" "$(grep -P '^control\tclass=Static\tid=65535' <<<"$report" |
    tr '\t' '\n' | sed -n 's/^text=//p')" "$restart_text"
  local box_win=$report
  inspect "$title" 5
  expect_eq "the message box is modal on the main window" "$(field window enabled)" 0
  report=$box_win
  # The first step is done before the message: key parked, RunOnce entry written.
  key_exists "$live" && fail "live key moved away" || pass "live key moved away"
  key_exists "$parked" && pass "parked key exists" || fail "parked key exists"
  local entry
  entry=$(reg_value "$runonce" dravlin)
  expect_match "RunOnce entry \"dravlin\" holds the short path" "$entry" \
    '^[Cc]:\\[^ \\]{1,8}\\[^ \\]{1,8}\\dravlin\.exe$'
  agent_on_restart
  answer_box
  gap "after Wine's restart a process started from outside the prefix waits until the programs of RunOnce have ended: the window is read through the probe that RunOnce started"

  # Wine performs the restart: it ends the prefix's processes and runs RunOnce, which starts
  # the program again by itself.
  wait_caption $id_start "$complete_caption" 40
  expect_eq "after the restart the program started by itself with the second-step caption" \
    "$(field $id_start text)" "$complete_caption"
  screenshot "$title" "main-window-$lang-$version-after-restart.png"
  expect_eq "log of the first step" "$(log_messages)" \
    $' Dravlin started v1.07\n Stealth-String found\n Restart'

  click_control $id_start
  gap "RegRestoreKeyA is a stub in Wine: the parked key was created empty, so the second step reads no path and takes the cleanup-error road"
  if inspect Dravlin 15; then
    local box
    box=$(grep -P '^control\tclass=Static\tid=65535' <<<"$report" | tr '\t' '\n' | sed -n 's/^text=//p')
    if [[ $lang == de ]]; then
      expect_eq "cleanup-error message" "$box" \
        'Fehler beim abschliessen der Bereinigung. Weitere Infos im Log-File.\r\n\r\nProgramm wird beendet.'
    else
      expect_eq "cleanup-error message" "$box" \
        'Error on Cleaning. Read the Log for further infos.\r\n\r\nProgram will be terminated.'
    fi
    answer_box
  else
    fail "cleanup-error message appears"
  fi
  wait_field $id_start enabled 0 10
  expect_eq "start button disabled after the outcome" "$(field $id_start enabled)" 0
  click_control $id_close
  wait_for_exit 15 && pass "close ends the program" || fail "close ends the program"

  # With the restarted program gone, Wine's boot is over and the registry can be read again.
  expect_eq "log of both runs" "$(log_messages)" \
    $' Dravlin started v1.07\n Stealth-String found\n Restart\n 2nd Step \n Stealth-Dll not found -> Programm terminated'
  key_exists "$live" && pass "live key back" || fail "live key back"
  key_exists "$parked" && fail "parked key gone" || pass "parked key gone"
  gap "reg query shows leftover bytes for a string value of zero bytes: read through regedit's export"
  expect_eq "AppInit_DLLs emptied" "$(exported_value "$live" AppInit_DLLs)" '""'
  reg_value "$runonce" dravlin >/dev/null && fail "RunOnce entry consumed" ||
    pass "RunOnce entry consumed"
}

utf16_pattern() { sed 's/[.]/\\./g; s/\(\\\?.\)/\1\\x00/g' <<<"$1"; }
# The shipped file: nothing but Windows system DLLs may be imported.
case_imports() {
  local objdump=objdump candidate
  for candidate in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump; do
    if "$candidate" -f "$exe" >/dev/null 2>&1; then objdump=$candidate; break; fi
  done
  local out
  if out=$("$(dirname "$0")/check-imports.sh" "$objdump" "$exe" 2>&1); then
    pass "dravlin.exe imports system DLLs only: $(grep -o '^ok *[^ ]*' <<<"$out" | awk '{print $2}' | tr '\n' ' ')"
  else
    fail "dravlin.exe imports system DLLs only" "$out"
  fi
  echo "  info $(grep '^size' <<<"$out")"
  # The version resource carries the version of the program's one version header.
  local version pattern
  version=$(sed -n 's/^#define DRAVLIN_VERSION_STRING "\(.*\)"$/\1/p' "$(dirname "$0")/../../src/version.h")
  # UTF-16 text: every character followed by a zero byte; the value follows its name after
  # the name's terminating zero and padding.
  pattern="$(utf16_pattern FileVersion)(?:\\x00\\x00)+$(utf16_pattern "$version")\\x00\\x00"
  if [[ -n $version ]] && LC_ALL=C grep -q -a -P "$pattern" "$exe"; then
    pass "version resource FileVersion $version"
  else
    fail "version resource FileVersion ${version:-?}"
  fi
}

case_xp_infected_en() { nt_road en winxp; }
case_xp_infected_de() { nt_road de winxp; }
case_win2k_infected_de() { nt_road de win2k; }

# The text of the message box that is open now (empty when none is).
box_text() {
  inspect Dravlin 0 || return 0
  grep -P '^control\tclass=Static\tid=65535' <<<"$report" | tr '\t' '\n' | sed -n 's/^text=//p'
}
# wait_title TITLE SECONDS: waits until the main window carries that exact title.
wait_title() {
  local deadline=$((SECONDS + $2))
  while ((SECONDS <= deadline)); do
    inspect prefix "$title" 2 && [[ $(field window title) == "$1" ]] && return 0
    sleep 0.3
  done
  return 1
}

bho_class='HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{0E2E0000-0000-0000-0000-0000000000B0}'

# The backup beside the log after a second step: the DLL kept under a name Windows does not
# load, and removed.reg, which regedit imports to bring back what the step deleted (a string
# with a NUL inside included, byte for byte).
check_backup_restores() {
  local folder
  folder=$(find "$program_dir" -maxdepth 1 -type d -name 'dravlin-backup-*' | head -1)
  if [[ -z $folder ]]; then fail "backup folder beside the log"; return; fi
  pass "backup folder beside the log: ${folder##*/}"
  local dll
  dll=$(find "$folder" -maxdepth 1 -iname 'qzhook.dll.removed' | head -1)
  [[ -n $dll ]] && cmp -s "$dll" <(printf 'MZ') && pass "DLL kept as ${dll##*/}" ||
    fail "DLL kept as qzhook.dll.removed"
  grep -q 'regedit /s removed.reg' "$folder/restore.txt" && pass "restore.txt says how to restore" ||
    fail "restore.txt says how to restore"
  gap "reg and regedit show a string only up to its first NUL: the one with a NUL inside is read from the prefix's registry file, which the server writes when it ends"
  local hidden='"Hidden"="a\0\xe4"'
  timeout 20 wineserver -k 2>/dev/null
  grep -qF "$hidden" "$WINEPREFIX/system.reg" && fail "the class key is gone before the import" ||
    pass "the class key is gone before the import"
  timeout 30 wine regedit /s "$(winepath_of "$folder/removed.reg")" >/dev/null 2>&1
  timeout 20 wineserver -k 2>/dev/null
  grep -qF "$hidden" "$WINEPREFIX/system.reg" &&
    pass "regedit brings back a string with a NUL inside, byte for byte" ||
    fail "regedit brings back a string with a NUL inside, byte for byte"
  expect_eq "regedit brings back the start page" \
    "$(reg_value 'HKCU\Software\Microsoft\Internet Explorer\Main' 'Start Page')" \
    'res://C:\windows\system32\qzhook.dll/qz.html'
  key_exists 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{0E2E0000-0000-0000-0000-0000000000B0}' &&
    pass "regedit brings back the Browser Helper Object" ||
    fail "regedit brings back the Browser Helper Object"
  rm -f "$work/export.reg"
  timeout 30 wine regedit /e "$(winepath_of "$work/export.reg")" "$bho_class" >/dev/null 2>&1
  expect_match "regedit brings back the class key's DLL path" \
    "$(iconv -f UTF-16LE -t UTF-8 "$work/export.reg" 2>/dev/null | tr -d '\r')" \
    '@="C:\\\\windows\\\\system32\\\\qzhook\.dll"'
}

# The NT second step as Windows reaches it: the parked key holds the DLL's path (what Windows'
# RegRestoreKeyA leaves; Wine's stub cannot), planted by the suite, with the hijacked start page
# and a Browser Helper Object of the same DLL. German.
case_xp_second_step_de() {
  new_prefix "$case_name" winxp de_DE.UTF-8
  gap "Wine cannot produce the parked key with its values (RegRestoreKeyA stub): the suite plants it"
  import_reg 'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows_Hijacked]' \
    '"AppInit_DLLs"="C:\\windows\\system32\\qzhook.dll"' \
    '"DeviceNotSelectedTimeout"="15"' '' \
    '[HKEY_CURRENT_USER\Software\Microsoft\Internet Explorer\Main]' \
    '"Start Page"="res://C:\\windows\\system32\\qzhook.dll/qz.html"' \
    '"Search Page"="http://www.example.org/search"' '' \
    '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{0E2E0000-0000-0000-0000-0000000000B0}]' '' \
    "[$bho_class]" '"Hidden"=hex(1):61,00,e4,00' '' \
    '[HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{0E2E0000-0000-0000-0000-0000000000B0}\InprocServer32]' \
    '@="C:\\windows\\system32\\qzhook.dll"'
  printf 'MZ' >"$drive/windows/system32/qzhook.dll"
  start_agent
  start_program
  if ! inspect "$title" 15; then fail "the window appears"; return; fi
  check_first_window de "Desinfektion abschliessen"
  click_control $id_start
  local box=
  local deadline=$((SECONDS + 30))
  while [[ -z $box ]] && ((SECONDS <= deadline)); do box=$(box_text); sleep 0.3; done
  expect_eq "disinfected message" "$box" \
    'Ihr Rechner wurde desinfiziert!!!\r\n\r\nUm einer erneuten Infizierung vorzubeugen, sollten Sie\r\nregelmässig Windows-Update ausführen.\r\n\r\nDesweiteren ist der Umstieg auf einen alternativen Browser\r\nzu empfehlen.'
  answer_box
  wait_field $id_start enabled 0 10
  expect_eq "start button disabled" "$(field $id_start enabled)" 0
  click_control $id_close
  wait_for_exit 15 && pass "close ends the program" || fail "close ends the program"
  local messages
  messages=$(log_messages)
  expect_match "DLL deletion logged" "$messages" \
    $'^ 2nd Step \n Hijack-DLL: C:\\\\windows\\\\system32\\\\qzhook\\.dll \\(deleted\\)\n'
  expect_eq "last log line" "${messages##*$'\n'}" " Cleaned"
  [[ -e $drive/windows/system32/qzhook.dll ]] && fail "DLL deleted" || pass "DLL deleted"
  key_exists "$parked" && fail "parked key gone" || pass "parked key gone"
  expect_eq "live key back with AppInit_DLLs emptied" "$(exported_value "$live" AppInit_DLLs)" '""'
  reg_value 'HKCU\Software\Microsoft\Internet Explorer\Main' 'Start Page' >/dev/null &&
    fail "hijacked start page deleted" || pass "hijacked start page deleted"
  expect_eq "other page kept" "$(reg_value 'HKCU\Software\Microsoft\Internet Explorer\Main' 'Search Page')" \
    'http://www.example.org/search'
  key_exists 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{0E2E0000-0000-0000-0000-0000000000B0}' &&
    fail "Browser Helper Object removed" || pass "Browser Helper Object removed"
  check_backup_restores
}

# Windows XP without the hijacker: AppInit_DLLs is empty.
case_xp_clean_en() {
  new_prefix "$case_name" winxp
  import_reg 'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows]' \
    '"AppInit_DLLs"=""'
  start_agent
  start_program
  if ! inspect "$title" 15; then fail "the window appears"; return; fi
  check_first_window en "start disinfection"
  # The keyboard: Tab moves between the two buttons, and Enter presses the focused one.
  local win
  win=$(xwindow "$title")
  xdotool mousemove --window "$win" 100 100 key Tab
  inspect "$title" 5
  expect_eq "Tab moves the focus to the close button" "$(field $id_close focus)" 1
  expect_eq "the focused close button is the default" "$(field $id_close default)$(field $id_start default)" 10
  xdotool key Tab
  inspect "$title" 5
  expect_eq "Tab moves the focus back to start" "$(field $id_start focus)$(field $id_start default)" 11
  xdotool key Return
  wait_title "$title -> not infected !" 15
  expect_eq "not-infected suffix on the title" "$(field window title)" "$title -> not infected !"
  expect_eq "start button disabled" "$(field $id_start enabled)" 0
  expect_eq "no message box" "$(box_text)" ""
  expect_eq "log" "$(log_messages)" $' Dravlin started v1.07\n Stealth-String not found -> Programm terminated'
  # Closing the window (Alt+F4 sends WM_CLOSE) ends the program like the close button.
  xdotool mousemove --window "$(xwindow "$title -> not infected !")" 100 100 key alt+F4
  wait_for_exit 15 && pass "closing the window ends the program" ||
    fail "closing the window ends the program"
  expect_eq "AppInit_DLLs untouched" "$(exported_value "$live" AppInit_DLLs)" '""'
  key_exists "$parked" && fail "no parked key" || pass "no parked key"
  reg_value "$runonce" dravlin >/dev/null && fail "no RunOnce entry" || pass "no RunOnce entry"
}

# At 120 dpi the twips give a larger window: 1440 twips are 120 pixels.
case_xp_120dpi() {
  new_prefix "$case_name" winxp
  wreg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 120 /f
  start_agent
  start_program
  if ! inspect "$title" 15; then fail "the window appears"; return; fi
  expect_eq "client area 5550 x 3450 twips at 120 dpi" "$(field window client)" "463,288"
  expect_eq "start button place at 120 dpi" "$(field $id_start rect)" "267,250,183,31"
  expect_eq "frame place at 120 dpi" "$(field $id_frame rect)" "10,10,441,231"
  click_control $id_close
  wait_for_exit 15 && pass "close ends the program" || fail "close ends the program"
}

# A service key entry as the hijacker leaves it on DOS-based Windows.
infect_services() {
  import_reg 'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\RunServicesOnce]' \
    '"QzHook"="C:\\windows\\system32\\qzhook.dll"'
  printf 'MZ' >"$drive/windows/system32/qzhook.dll"
}

# dos_first_step: the first step of the DOS-based procedure, which Wine turns into "not infected".
dos_first_step() {
  infect_services
  start_agent
  start_program
  if ! inspect "$title" 15; then fail "the window appears"; return 1; fi
  check_first_window en "start disinfection"
  click_control $id_start
  gap "RegSaveKeyA writes Wine's own text format, in which every backslash is doubled: the system folder path never stands in the key file, so the first step finds no DLL and reports not infected (no restart)"
  wait_title "$title -> not infected !" 30
  expect_eq "not-infected suffix on the title" "$(field window title)" "$title -> not infected !"
  expect_eq "start button disabled" "$(field $id_start enabled)" 0
  expect_eq "log" "$(log_messages)" $' Dravlin started v1.07\n Stealth-String not found -> Programm terminated'
  [[ -e $drive/HjRuOn.txt || -e $drive/hjruon.txt ]] && fail "key file deleted again" ||
    pass "key file deleted again"
  click_control $id_close
  wait_for_exit 15 && pass "close ends the program" || fail "close ends the program"
  expect_eq "service key entry unchanged" "$(reg_value "$services" QzHook)" 'C:\windows\system32\qzhook.dll'
  reg_value "$runonce" dravlin >/dev/null && fail "no RunOnce entry" || pass "no RunOnce entry"
}

# Windows NT 4.0: NT start-up (administrator check passes: Wine's token always holds the
# administrators group), then the DOS-based procedure.
case_nt4_en() {
  new_prefix "$case_name" nt40
  dos_first_step
}

# Windows 98: the first step as above; then the second step from the key file that Windows 98
# itself would have written (its hive image holds each path verbatim), planted by the suite.
case_win98_en() {
  new_prefix "$case_name" win98
  dos_first_step || return

  wreg delete "$services" /f
  printf 'CREG\0\0\1\0RGKN\0\0\0\0QzHook\0C:\\WINDOWS\\SYSTEM32\\QZHOOK.DLL\0\0\0RGDB' >"$drive/HjRuOn.txt"
  import_reg 'REGEDIT4' '' \
    '[HKEY_CURRENT_USER\Software\Microsoft\Internet Explorer\Main]' \
    '"Start Page"="res://C:\\windows\\system32\\qzhook.dll/qz.html"' \
    '"Search Page"="http://www.example.org/search"' '' \
    '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{0E2E0000-0000-0000-0000-0000000000B0}]' '' \
    "[$bho_class]" '"Hidden"=hex(1):61,00,e4,00' '' \
    '[HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{0E2E0000-0000-0000-0000-0000000000B0}\InprocServer32]' \
    '@="C:\\windows\\system32\\qzhook.dll"'
  start_program
  if ! inspect "$title" 15; then fail "the window appears again"; return; fi
  wait_caption $id_start "Complete disinfection" 10
  expect_eq "second-step caption without the service key" "$(field $id_start text)" "Complete disinfection"
  click_control $id_start
  local box=
  local deadline=$((SECONDS + 30))
  while [[ -z $box ]] && ((SECONDS <= deadline)); do box=$(box_text); sleep 0.3; done
  expect_eq "disinfected message" "$box" \
    'Your computer now is disinfected!!!\r\n\r\nIn order to prevent a renewed infection, you should \r\nexecute regularly Windows-Update.\r\n\r\nIt is recommended to use an alternative browser.'
  answer_box
  wait_field $id_start enabled 0 10
  expect_eq "start button disabled" "$(field $id_start enabled)" 0
  local messages
  messages=$(log_messages)
  expect_match "second step logged" "$messages" $'\n 2nd Step \n Hijack-DLL: C:\\\\WINDOWS\\\\SYSTEM32\\\\QZHOOK\\.DLL \\(deleted\\)\n'
  expect_eq "last log line" "${messages##*$'\n'}" " Cleaned"
  [[ -e $drive/windows/system32/qzhook.dll ]] && fail "DLL deleted" || pass "DLL deleted"
  [[ -e $drive/HjRuOn.txt ]] && fail "key file deleted" || pass "key file deleted"
  click_control $id_close
  wait_for_exit 15 && pass "close ends the program" || fail "close ends the program"
  key_exists "$services" && pass "service key created again" || fail "service key created again"
  reg_value 'HKCU\Software\Microsoft\Internet Explorer\Main' 'Start Page' >/dev/null &&
    fail "hijacked start page deleted" || pass "hijacked start page deleted"
  expect_eq "other page kept" "$(reg_value 'HKCU\Software\Microsoft\Internet Explorer\Main' 'Search Page')" \
    'http://www.example.org/search'
  key_exists 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{0E2E0000-0000-0000-0000-0000000000B0}' &&
    fail "Browser Helper Object removed" || pass "Browser Helper Object removed"
  check_backup_restores
}

echo "Wine: $(wine --version 2>/dev/null)  display: $DISPLAY  base prefix: $base"
suite_started=$SECONDS
for name in ${E2E_CASES:-imports xp_infected_en xp_infected_de win2k_infected_de xp_second_step_de xp_clean_en xp_120dpi nt4_en win98_en}; do
  run_case "$name"
done
echo "== $checks checks, $failures failed, $((SECONDS - suite_started)) s"
((failures == 0))
