#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite (--sanitize: under ASan and UBSan;
# --tsan: under ThreadSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh "$@"
case "${1:-}" in
  --sanitize) ctest --test-dir build-asan --output-on-failure -j"$(nproc)" ;;
  --tsan) ctest --test-dir build-tsan --output-on-failure -j"$(nproc)" ;;
  *) ctest --test-dir build --output-on-failure -j"$(nproc)" ;;
esac
