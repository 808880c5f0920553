#!/usr/bin/env bash
# Configures and builds into build/. KORVALEN_WERROR=ON turns warnings into errors;
# KORVALEN_TESTS=OFF builds only the program and its libraries (the tests' packages are then
# not needed).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALEN_WERROR="${KORVALEN_WERROR:-OFF}" \
    -DKORVALEN_TESTS="${KORVALEN_TESTS:-ON}"
cmake --build build -j"$(nproc)"
