#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite (add --sanitize for the ASan/UBSan build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh "$@"
dir=build; [ "${1:-}" = "--sanitize" ] && dir=build-asan
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
