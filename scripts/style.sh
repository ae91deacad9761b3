#!/usr/bin/env bash
# The written style, checked: every tracked C++ file as .clang-format lays it
# out, and clang-tidy's chosen checks (.clang-tidy, warnings as errors) clean
# over the product's and the tests' sources. Needs a configured build (for its
# compile_commands.json); the test command runs it after building.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZAV_BUILD:-$repo/build}
jobs=${ZAV_JOBS:-$(nproc)}
cd "$repo"

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${files[@]}" 2>"$build/clang-format.log"; then
  head -n 40 "$build/clang-format.log" >&2
  echo "style: files differ from .clang-format (clang-format -i fixes them)" >&2
  exit 1
fi
echo "style: clang-format clean (${#files[@]} files)"

# The translation units the build compiles, the generated ones left out.
pattern="^$repo/(app|bench|db|fiscal|host|nfe|authority|server|screen|criteria|invoices|cancellation|tests)/.*\\.cpp\$"
if ! run-clang-tidy -p "$build" -j "$jobs" -quiet "$pattern" >"$build/clang-tidy.log" 2>&1; then
  grep -E 'warning:|error:' "$build/clang-tidy.log" | head -n 40 >&2 || tail -n 40 "$build/clang-tidy.log" >&2
  echo "style: clang-tidy found problems (all of them in $build/clang-tidy.log)" >&2
  exit 1
fi
echo "style: clang-tidy clean"
