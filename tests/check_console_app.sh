#!/usr/bin/env bash
# A program with its own main, turned into an application DLL by the adapter
# and packed with --console, under Wine: the image's subsystem, standard
# handles present under cmd with the output in order around the call, UTF-8
# arguments, exit statuses returned and given to exit, and the console's
# output code page set to UTF-8 while it runs on a terminal, and Ctrl+C on that
# terminal ending the run and removing the extraction directory.
#   check_console_app.sh VORBEL-PACK LAUNCHER.exe CONSOLE_PROBE.dll OBJDUMP WINE_PREFIX
set -euo pipefail
pack=$(realpath "$1") launcher=$(realpath "$2") probe=$(realpath "$3") objdump=$4 prefix=$5
source "$(dirname "$0")/wine_script.sh"

"$pack" build --console --launcher "$launcher" --app "$probe" -o probe.exe
"$pack" build --launcher "$launcher" --app "$probe" -o probe-gui.exe
subsystem() { "$objdump" -p "$1" | sed -n 's/^Subsystem[[:space:]]*//p'; }
[ "$(subsystem probe.exe)" = $'00000003\t(Windows CUI)' ] || fail "--console gave: $(subsystem probe.exe)"
[ "$(subsystem probe-gui.exe)" = $'00000002\t(Windows GUI)' ] || fail "without --console: $(subsystem probe-gui.exe)"

out=$(run cmd /c "echo before& probe.exe one& echo after" | tr -d '\r')
expected=$'before\nargc=2\nargv[1]=one\n'
[[ "$out" == "$expected"stdin=*" stdout="[a-z]*" stderr="[a-z]*$'\nafter' ]] || fail "under cmd: $out"
grep -q "none" <<<"$out" && fail "a standard handle is missing under cmd: $out"

out=$(run probe.exe "two words" café | tr -d '\r')
[[ "$out" == *$'argv[1]=two words\nargv[2]=caf\xc3\xa9\n'* ]] || fail "arguments not in UTF-8: $out"

status() { set +e; run probe.exe "$@" >/dev/null 2>&1; echo $?; set -e; }
[ "$(status return 7)" = 7 ] || fail "main's result did not pass"
[ "$(status exit 42)" = 42 ] || fail "exit() inside the program did not pass"

# On a terminal Wine gives the program a console of its own.
WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= \
  script -qec "$wine probe.exe" /dev/null </dev/null >terminal.txt || true
# Wine draws on the terminal with escape sequences: a cursor move for a blank.
shown=$(sed -E 's/\x1b\[[0-9]*C/ /g; s/\x1b\[[?0-9;]*[a-zA-Z]//g' terminal.txt | tr -d '\r')
grep -q "stdout=console" <<<"$shown" || fail "no console on a terminal: $shown"
grep -q "output code page=65001" <<<"$shown" || fail "console output code page not UTF-8: $shown"
python3 "$root/tests/console_ctrl_c.py" probe.exe "$prefix" "$wine" || fail "Ctrl+C"
# An application that ignores Ctrl+C is ended after the grace, and the run
# reports STATUS_CONTROL_C_EXIT (0xC000013A); one that ends on Ctrl+C with a
# status of its own passes that on.
python3 "$root/tests/console_ctrl_c.py" probe.exe "$prefix" "$wine" ignore 0xC000013A || fail "Ctrl+C ignored"
python3 "$root/tests/console_ctrl_c.py" probe.exe "$prefix" "$wine" 7 7 || fail "Ctrl+C with own status"
echo "console application: subsystem, handles, order, arguments, statuses and Ctrl+C ok"
