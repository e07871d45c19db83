#!/usr/bin/env bash
# The build a newcomer types first: CMake's default generator (Unix Makefiles
# on Linux), the default options (tests on), two jobs in parallel. CI runs it
# so that the project keeps building without Ninja and with a generator that
# builds each folder's targets apart.
#
# Usage: scripts/default-build.sh [BUILD_DIR]   (default: build-default)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-build-default}"
# The default generator is the one CMake picks by itself.
unset CMAKE_GENERATOR
cmake -S "$here" -B "$build"
cmake --build "$build" -j2
