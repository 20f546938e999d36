#!/usr/bin/env bash
# Builds the Windows deliverables into dist/ and runs the demonstration on the simulated platform.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
ensure_build_packages

build_windows
echo "Windows deliverables in dist/:"
ls -l dist/

configure_build build/host -DCMAKE_BUILD_TYPE=Debug
cmake --build build/host -j2 --target cardrw_demo
./build/host/demo/cardrw_demo
