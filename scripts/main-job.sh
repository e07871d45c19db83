#!/usr/bin/env bash
# What the run command does once the build and the emulated disk exist.
set -euo pipefail
BIN=$1
"$BIN/quendal" info
