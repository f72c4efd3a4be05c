#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with --sanitize).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build; extra=()
if [ "${1:-}" = "--sanitize" ]; then dir=build-asan; extra=(-DVEXOR_SANITIZE=ON); fi
cmake -S . -B "$dir" "${extra[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
