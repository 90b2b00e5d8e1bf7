#!/usr/bin/env bash
# Both build tools, the Linux one and the Windows one under Wine, pack one
# tree into the very same bytes: they compress with the same libzstd source,
# so a packed program (and, in the cached mode, its bundle id) does not depend
# on which machine packed it. At the default level and at a level that uses
# several workers on a larger input.
#   check_same_bytes.sh VORBEL-PACK VORBEL-PACK.exe LAUNCHER.exe APP.dll WINE_PREFIX
set -euo pipefail
pack=$(realpath "$1") pack_exe=$(realpath "$2") launcher=$(realpath "$3") app=$(realpath "$4") prefix=$(realpath "$5")
. "$(dirname "$0")/support/wine_scratch.sh"

mkdir -p tree/data
python3 - <<'PY'
import random
random.seed(7)
words = [b"alpha", b"beta", b"gamma", b"delta", b"launcher", b"payload", b"\x00\x01\x02"]
for n in range(40):
    with open(f"tree/data/file{n}.bin", "wb") as f:
        f.write(b" ".join(random.choice(words) for _ in range(20000 + 997 * n)))
PY
# The same output name: the cached mode names its folder after it.
mkdir -p linux windows
# The second pass writes a settings record of version 3 (the progress window).
for level in 19 3; do
  options=(--cache)
  [ "$level" = 3 ] && options+=(--progress-window)
  "$pack" build --launcher "$launcher" --app "$app" --add tree/data=data --level $level "${options[@]}" \
    -o linux/app.exe >/dev/null 2>&1
  run "$pack_exe" build --launcher "Z:$launcher" --app "Z:$app" --add "tree/data=data" --level $level \
    "${options[@]}" -o windows/app.exe >/dev/null 2>&1 || fail "vorbel-pack.exe failed at level $level"
  cmp -s linux/app.exe windows/app.exe ||
    fail "level $level: the two tools wrote different bytes ($(cmp linux/app.exe windows/app.exe | head -1))"
done
echo "the Linux and Windows build tools write the same bytes"
