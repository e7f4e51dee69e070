#!/usr/bin/env bash
# Builds the tool and stamps a copy of the sample file that lies beside it,
# showing the file before and after.  cat -A marks an LF as $ and a CR as ^M.
# Installs the Debian packages the build needs first, if any are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/packages.sh build

# The steps' own output only when they fail.
quietly() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}
dir=build/release
echo "== building $dir/authorstamp"
quietly cmake --preset release
quietly cmake --build --preset release --target authorstamp

cp sample/setup.xml "$dir/setup.xml"
echo "== $dir/setup.xml before:"
cat -A "$dir/setup.xml"
# The argument is taken relative to the directory that holds the program.
"$dir/authorstamp" setup.xml
echo "== after \`$dir/authorstamp setup.xml\` (exit status $?):"
cat -A "$dir/setup.xml"
