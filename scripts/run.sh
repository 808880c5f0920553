#!/usr/bin/env bash
# Builds the program (no tests, no benchmarks) and starts it in the foreground with the sample
# config.ini beside it. Installs only the packages the build and the program need.
set -euo pipefail
cd "$(dirname "$0")/.."
KORVALEN_TESTS=OFF scripts/build.sh
exec build/bin/Korvalen "$@"
