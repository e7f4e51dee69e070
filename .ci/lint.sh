#!/usr/bin/env bash
# Static analysis of the product code: clang-tidy (checks in .clang-tidy)
# and cppcheck, both from the release build's compile_commands.json.  Tests,
# benchmarks and the fuzzer are left out.  Then the layout of every C++
# file in the repository against .clang-format.  Fails on any finding.
#
# The Windows sources (platform/*-win32.cc) do not compile on Linux, so
# clang-tidy skips them; cppcheck reads them as Windows sources.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release
if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset release >/dev/null
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The product sources as the release build compiles them.
python3 - "$build/compile_commands.json" "$scratch/compile_commands.json" \
  >"$scratch/files" <<'EOF'
import json, re, sys
commands = json.load(open(sys.argv[1]))
product = [c for c in commands
           if re.search(r'/(app|platform|rewrite)/[^/]+\.cc$', c['file'])
           and not re.search(r'(_test|_bench|_fuzz|test_helper)\.cc$', c['file'])]
json.dump(product, open(sys.argv[2], 'w'), indent=1)
print('\n'.join(c['file'] for c in product))
EOF
echo "== lint: $(wc -l <"$scratch/files") files:" $(sed "s|^$PWD/||" "$scratch/files")

failed=0

echo "== lint: clang-tidy"
if ! xargs -P 2 -n 1 clang-tidy -p "$build" --quiet <"$scratch/files" \
     >"$scratch/tidy.log" 2>&1; then
  failed=1
fi
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' \
  "$scratch/tidy.log" || true

echo "== lint: cppcheck"
cppcheck_flags=(
  --enable=warning,style,performance,portability --std=c++20
  --inline-suppr --suppress=missingIncludeSystem --error-exitcode=1 -q
  --template='{file}:{line}: {severity}: {message} [{id}]'
)
cppcheck "${cppcheck_flags[@]}" -j 2 \
  --project="$scratch/compile_commands.json" || failed=1
win32_sources=(platform/*-win32.cc)
if [ -f "${win32_sources[0]}" ]; then
  cppcheck "${cppcheck_flags[@]}" --language=c++ -D_WIN32 -I. \
    --platform=win64 --library=windows "${win32_sources[@]}" || failed=1
fi

echo "== lint: clang-format"
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror || failed=1

if ((failed)); then
  echo "== lint: FAILED"
  exit 1
fi
echo "== lint: clean"
