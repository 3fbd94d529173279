#!/usr/bin/env bash
# Builds landmark_reference (dlib's 68-point landmarks on the calibration photos) into
# BUILD_DIR (default /tmp) and prints the program's path.
#   apt-get install libdlib-dev libdlib-data rapidjson-dev
# Usage: model_tools/landmark_reference.sh [BUILD_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="${1:-/tmp}/landmark_reference"
mkdir -p "$(dirname "$out")"
if [ ! -x "$out" ] || [ "$here/landmark_reference.cc" -nt "$out" ]; then
  # shellcheck disable=SC2046  # pkg-config's flags are meant to split
  g++ -std=c++17 -O2 -o "$out" "$here/landmark_reference.cc" $(pkg-config --cflags --libs dlib-1)
fi
echo "$out"
