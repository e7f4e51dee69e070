#!/usr/bin/env bash
# Builds the tool and stamps a copy of the sample file that lies beside it,
# showing the file before and after.  cat -A marks an LF as $ and a CR as ^M.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
dir=build/release
cp sample/setup.xml "$dir/setup.xml"
echo "== $dir/setup.xml before:"
cat -A "$dir/setup.xml"
# The argument is taken relative to the directory that holds the program.
"$dir/authorstamp" setup.xml
echo "== after \`$dir/authorstamp setup.xml\` (exit status $?):"
cat -A "$dir/setup.xml"
