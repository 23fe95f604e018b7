#!/usr/bin/env bash
# Lays out the Arduino library in FOLDER/hexstamp, the way "Add .ZIP Library" and the
# libraries folder take it: library.properties, src/hexstamp.h (what a sketch includes: Arduino
# finds a library by the headers at the top of its src/) and the firmware header beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
library=$1/hexstamp
version=$(sed -n 's/^project(hexstamp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p "$library/src/hexstamp"
sed "s/@VERSION@/$version/" arduino/library.properties.in >"$library/library.properties"
cp arduino/hexstamp.h "$library/src/hexstamp.h"
cp include/hexstamp/stamp.h "$library/src/hexstamp/stamp.h"
cp LICENSE "$library/LICENSE"
