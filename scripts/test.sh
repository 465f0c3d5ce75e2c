#!/bin/sh
# The whole test suite from a fresh Debian 12 or 13 machine: packages, build, then every test.
# SANITIZE=address (ASan+UBSan) or SANITIZE=thread builds into build-<sanitizer> instead.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ -n "${SANITIZE:-}" ]; then
  export BUILD_DIR=${BUILD_DIR:-build-$SANITIZE} BUILD_TYPE=${BUILD_TYPE:-Debug}
  scripts/build.sh -DSONVALE_SANITIZE="$SANITIZE" -DSONVALE_BENCHMARKS=OFF
else
  scripts/build.sh
fi
cd "${BUILD_DIR:-build}"
# Tests against real daemons are timing-sensitive on a loaded two-core machine: a failed test
# gets one more run, and both runs are in the log.
ctest --output-on-failure -j2 --timeout 300 --repeat until-pass:2 ${CTEST_ARGS:-}
