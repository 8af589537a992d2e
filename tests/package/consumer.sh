#!/bin/sh
# consumer.sh BUILD_DIR SOURCE_DIR VERSION [FLAGS]: installs into a temporary
# prefix and builds tests/consumer against it, as a host vendor would. FLAGS
# are the sanitizers a sanitized plug-in needs in its program too.
set -eu
build=$1 source=$2 version=$3 flags=${4:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
configure() {
    cmake -S "$source/tests/consumer" -B "$tmp/$1" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" \
        -DORU_WANTED_VERSION="$2" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$tmp/$1.log" 2>&1
}
configure build "$version" || { cat "$tmp/build.log"; exit 1; }
cmake --build "$tmp/build" >/dev/null
# The version check refuses a release the installed one cannot stand in for.
if configure newer 99.0; then
    echo "find_package(OruGroundStation 99.0) accepted version $version"
    exit 1
fi
# HOME for the service's folders; port 1, where no host answers its dialling.
HOME=$tmp ORU_HOST_PORT=1 "$tmp/build/consumer"
