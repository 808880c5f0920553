#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/ and runs
# every test there (KORVALEN_SANITIZE=thread for ThreadSanitizer in build-tsan/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test
sanitizers="${KORVALEN_SANITIZE:-address,undefined}"
dir=build-asan
[[ "$sanitizers" == thread ]] && dir=build-tsan
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKORVALEN_SANITIZE="$sanitizers"
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=second_deadlock_stack=1
# The xcb platform's GL integration loads Mesa, which leaks as it is unloaded at exit; the tray
# needs no GL.
export QT_XCB_GL_INTEGRATION=none
cd "$dir"
ctest --output-on-failure -j4 "$@"
