#!/usr/bin/env bash
# Measures vorbel-pack's settings on a synthetic application tree (make_tree.py):
# payload size, pack time and memory, declared window, launcher decoder memory,
# decode time. Writes only below the work directory; needs `make` first.

#   bench/measure_pack.sh [WORK_DIR]          (default build/bench)
#   SETTINGS="19: 19:--long=27" bench/measure_pack.sh   (level:extra options)
#   LAUNCHER_RSS=1 bench/measure_pack.sh      (also runs packed launchers under Wine)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pack=${VORBEL_PACK:-$root/dist/vorbel-pack}
launcher=${VORBEL_LAUNCHER:-$root/dist/launcher.exe}
work=${1:-$root/build/bench}
settings=${SETTINGS:-"3: 3:--long=27 9: 9:--long=27 15: 15:--long=27 19: 19:--long=24 19:--long=27"}

mkdir -p "$work"
[ -d "$work/tree" ] || python3 "$root/bench/make_tree.py" "$work/tree"
# A real application DLL: vorbel-pack refuses anything else as --app.
cp "$root/dist/sample_app.dll" "$work/app.dll"
files=$(find "$work/tree" -type f | wc -l)
content=$(find "$work/tree" -type f -printf '%s\n' | awk '{ total += $1 } END { print total }')
echo "tree: $files files, $content bytes; $(nproc) hardware threads"
echo
echo "| level | long | payload bytes | ratio | pack time s | pack peak RSS MiB | declared window | launcher decoder | verify time s |"
echo "|---|---|---|---|---|---|---|---|---|"

# "8.0 MiB" or "512.0 KiB" -> MiB
to_mib() { awk -v n="$1" -v u="$2" 'BEGIN { printf "%.1f", (u == "KiB") ? n / 1024 : n }'; }

for setting in $settings; do
  level=${setting%%:*}
  extra=${setting#*:}
  out="$work/packed-$level${extra:+-${extra#--}}.exe"
  # %e wall seconds, %M peak resident KiB
  /usr/bin/time -f "%e %M" -o "$work/time.txt" \
    "$pack" build --launcher "$launcher" --app "$work/app.dll" --add "$work/tree=." --level "$level" $extra -o "$out"
  read -r pack_seconds pack_kib <"$work/time.txt"
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$pack" verify "$out" >"$work/verify.txt"
  read -r verify_seconds _ <"$work/time.txt"
  # "...: ok, N entries, B bytes in C compressed; window W U, decoder about D U"
  read -r compressed window window_unit decoder decoder_unit < <(
    sed -E 's/.* bytes in ([0-9]+) compressed; window ([0-9.]+) ([KM]iB), decoder about ([0-9.]+) ([KM]iB).*/\1 \2 \3 \4 \5/' \
      "$work/verify.txt")
  ratio=$(awk -v a="$content" -v b="$compressed" 'BEGIN { printf "%.2f", a / b }')
  printf '| %s | %s | %s | %s | %s | %.0f | %s MiB | %s MiB | %s |\n' "$level" "${extra:-no}" "$compressed" "$ratio" \
    "$pack_seconds" "$(awk -v k="$pack_kib" 'BEGIN { print k / 1024 }')" "$(to_mib "$window" "$window_unit")" \
    "$(to_mib "$decoder" "$decoder_unit")" "$verify_seconds"
done

# With LAUNCHER_RSS=1: the packed launcher's own peak memory under Wine, for
# the settings that differ only in window (the sample application runs and
# exits at once; the peak is the launcher unpacking the tree).
if [ "${LAUNCHER_RSS:-0}" = 1 ]; then
  wine_run="$root/scripts/wine-run.sh $root/build/windows/wine-prefix /usr/lib/wine/wine64"
  echo
  echo "| level | long | launcher peak RSS under Wine, MiB |"
  echo "|---|---|---|"
  launcher_settings=${LAUNCHER_SETTINGS:-"19: 19:--long=27"}
  for setting in $launcher_settings; do
    level=${setting%%:*}
    extra=${setting#*:}
    out="$work/run-$level${extra:+-${extra#--}}.exe"
    "$pack" build --launcher "$launcher" --app "$root/dist/sample_app.dll" --add "$root/dist/sample_helper.dll" \
      --add "$work/tree=data" --level "$level" $extra -o "$out"
    /usr/bin/time -f "%M" -o "$work/time.txt" $wine_run "$out" >/dev/null
    printf '| %s | %s | %.1f |\n' "$level" "${extra:-no}" "$(awk -v k="$(cat "$work/time.txt")" 'BEGIN { print k / 1024 }')"
  done
fi
