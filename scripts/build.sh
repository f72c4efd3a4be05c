#!/usr/bin/env bash
# Configures and builds into build/ (build-asan/ with --sanitize, build-tsan/ with --tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build; extra=()
case "${1:-}" in
  --sanitize) dir=build-asan; extra=(-DVEXOR_SANITIZE=ON) ;;
  --tsan) dir=build-tsan; extra=(-DVEXOR_TSAN=ON) ;;
esac
cmake -S . -B "$dir" "${extra[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
