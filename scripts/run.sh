#!/usr/bin/env bash
# Builds the program and starts it in the foreground with the sample config.ini beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
exec build/bin/Korvalen "$@"
