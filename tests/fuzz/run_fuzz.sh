#!/bin/sh
# run_fuzz.sh TARGET BUILD_DIR CLANGXX SECONDS
# Configures the fuzz project in BUILD_DIR (once), builds fuzz_TARGET and runs it for SECONDS over
# the seed corpus. New inputs the fuzzer keeps go to BUILD_DIR/corpus/TARGET, never into the
# source tree; a crash leaves its input in BUILD_DIR/findings and fails the test.
set -eu
target=$1
build=$2
clangxx=$3
seconds=$4
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/project" -B "$build" -DCMAKE_CXX_COMPILER="$clangxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
fi
cmake --build "$build" --target "fuzz_$target" -j2 >"$build/$target.build.log" 2>&1 ||
  { cat "$build/$target.build.log"; exit 1; }

mkdir -p "$build/corpus/$target" "$build/findings"
# Qt may need a platform for image plugins; nothing is shown.
QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build/fuzz_$target" -seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 \
  -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
  "$build/corpus/$target" "$here/corpus/$target"
