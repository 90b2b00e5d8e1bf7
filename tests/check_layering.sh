#!/usr/bin/env bash
# Keeps the source tree's dependency rule true, for code and tests alike:
# common/ includes nothing of the project; paths/, payload/ and shutdown/ are
# siblings that include only common/; launcher/ drives all four; the build
# tool (packer/) uses only the portable part of payload/ and the portable
# names of common/, and in its Windows build alone (packer/cache_folders.cpp)
# the launcher's locked removal, the sweep's test of a working directory's
# process and the directory checks they rest on, so
# that `cache clean` removes by the launcher's own rules. A test beside its
# code follows that code's rule (a case
# that needs the launcher belongs with the launcher's tests) and may use
# tests/support/, which itself includes only common/ and payload/. The
# Windows behaviours layer (tests/behaviours) wraps common/'s seam, and the
# launcher's test variant built with it starts launcher/. The
# end-to-end tests under tests/e2e and tests/apps run the built programs and
# may read any header for the product's constants.
#   check_layering.sh SOURCE_DIR
set -u
cd "$1" || exit 1
failures=0

# Folders a folder may include from, besides itself.
declare -A allowed=(
  [common]=""
  [paths]="common"
  [shutdown]="common"
  [payload]="common"
  [launcher]="common paths payload shutdown"
  [packer]=""
  [examples]=""
  [adapter]=""
  [tests/support]="common payload"
  [tests/behaviours]="common launcher"
)
# The parts of payload/ and common/ that build for the host too.
portable="payload/payload_format.h payload/payload_stream.h payload/payload_entry.h payload/entry_name_rule.h"
portable+=" payload/pe_import_walk.h payload/launch_settings_format.h payload/launch_settings.h"
portable+=" payload/bundle_record.h common/launcher_names.h"
# What the Windows build tool's cache command takes from the launcher.
windows_removal="shutdown/locked_removal.h shutdown/leftover_sweep.h common/directory_check.h common/long_path.h"

for folder in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    included=$(sed -n 's/.*#include "\([^"]*\)".*/\1/p' <<<"$line")
    [ "${included#"$folder"/}" != "$included" ] && continue
    [ "$included" = "${included%%/*}" ] && continue  # a header beside the file
    target=${included%/*}
    target=${target%%/*}
    if [ "$folder" = packer ] && [[ " $portable " == *" $included "* ]]; then continue; fi
    if [ "$file" = packer/cache_folders.cpp ] && [[ " $windows_removal " == *" $included "* ]]; then continue; fi
    case "$file" in
      *_test.cpp | */test_*.h | */*_test_support.h | packer/synthetic_image.*)
        [ "${included#tests/support/}" != "$included" ] && continue ;;
    esac
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "FAIL: $file includes $included"
      failures=$((failures + 1))
    fi
  done < <(grep -rn '#include "' "$folder" --include='*.cpp' --include='*.h' --include='*.c' 2>/dev/null)
done

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "layering OK"
