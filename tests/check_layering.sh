#!/usr/bin/env bash
# Keeps the source tree's dependency rule true: launcher/ drives payload/,
# paths/ and shutdown/, which never include launcher/; paths/ and shutdown/
# use only common/; common/ uses nothing of the project; the build tool uses
# only the portable part of payload/.
#   check_layering.sh SOURCE_DIR
set -u
cd "$1" || exit 1
failures=0

# Folders a folder may include from, besides itself.
declare -A allowed=(
  [common]=""
  [paths]="common"
  [shutdown]="common"
  [payload]="common paths shutdown"
  [launcher]="common paths payload shutdown"
  [packer]=""
  [examples]=""
  [adapter]=""
)
# The parts of payload/ that build for the host too.
portable_payload="payload/payload_format.h payload/payload_stream.h payload/payload_entry.h payload/entry_name_rule.h payload/pe_import_walk.h"
portable_payload+=" payload/launch_settings_format.h payload/launch_settings.h"

for folder in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    case "$file" in *_test.cpp) continue ;; esac
    included=$(sed -n 's/.*#include "\([^"]*\)".*/\1/p' <<<"$line")
    target=${included%%/*}
    [ "$target" = "$folder" ] && continue
    [ "$included" = "$target" ] && continue  # a header beside the file
    if [ "$folder" = packer ] && [[ " $portable_payload " == *" $included "* ]]; then continue; fi
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "FAIL: $file includes $included"
      failures=$((failures + 1))
    fi
  done < <(grep -rn '#include "' "$folder" --include='*.cpp' --include='*.h' 2>/dev/null)
done

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "layering OK"
