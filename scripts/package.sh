#!/bin/sh
# Builds the Debian package sonvale_<version>_<arch>.deb in ${BUILD_DIR:-build-pkg} from the
# CMake install rules, and prints its path.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
export BUILD_DIR="${BUILD_DIR:-build-pkg}"
BUILD_TYPE=${BUILD_TYPE:-Release} scripts/build.sh -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DSONVALE_BENCHMARKS=OFF -DSONVALE_SANITIZE=
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
ls "$PWD/$BUILD_DIR"/sonvale_*.deb
