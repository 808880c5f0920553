#!/usr/bin/env bash
# Configures and builds into build/. KORVALEN_WERROR=ON turns warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALEN_WERROR="${KORVALEN_WERROR:-OFF}"
cmake --build build -j"$(nproc)"
