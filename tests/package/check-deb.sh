#!/bin/sh
# check-deb.sh BUILD_DIR VERSION: builds the Debian packages into a temporary
# folder, checks their files and dependencies, and runs the unpacked host.
set -eu
build=$1 version=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "$*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; exit 1; }
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
runtime=$tmp/out/oru-groundstation_${version}_$arch.deb
dev=$tmp/out/oru-groundstation-dev_${version}_$arch.deb

dpkg-deb -c "$runtime" >"$tmp/runtime.txt"
for f in bin/oru-host bin/oru-bridge lib/$multiarch/oru/oru-host lib/$multiarch/oru/Data/limit.txt \
    lib/$multiarch/liborugroundstation.so.0 lib/$multiarch/libOruWebSocketServer.so.0 \
    share/oru/web/index.html share/oru/web/vendor/leaflet/dist/leaflet-src.esm.js \
    share/oru/limit.txt share/oru/waylines/field-survey.plan lib/systemd/user/oru-host.service \
    share/man/man1/oru-host.1; do
    grep -q " \./usr/$f" "$tmp/runtime.txt" || fail "runtime package lacks /usr/$f"
done
! grep -q '/usr/include/' "$tmp/runtime.txt" || fail "headers in the runtime package"
depends=$(dpkg-deb -f "$runtime" Depends)
for d in libqt5core5a libqt5websockets5 libqt5sql5-sqlite libmosquitto1 libc6; do
    echo "$depends" | grep -q "$d" || fail "Depends lacks $d: $depends"
done

dpkg-deb -c "$dev" >"$tmp/dev.txt"
for f in include/oru/orugroundstationservice.h include/oru/websockethandler.h \
    lib/$multiarch/liborugroundstation.so \
    lib/$multiarch/cmake/OruGroundStation/OruGroundStationConfigVersion.cmake; do
    grep -q " \./usr/$f" "$tmp/dev.txt" || fail "-dev package lacks /usr/$f"
done
dpkg-deb -f "$dev" Depends | grep -q "oru-groundstation (= $version)" ||
    fail "-dev does not depend on its runtime: $(dpkg-deb -f "$dev" Depends)"

dpkg-deb -x "$runtime" "$tmp/root"
grep -q "^ExecStart=/usr/bin/oru-host$" "$tmp/root/usr/lib/systemd/user/oru-host.service" ||
    fail "the unit does not start /usr/bin/oru-host"
"$tmp/root/usr/bin/oru-host" --version | grep -qx "oru-host $version" ||
    fail "the unpacked host does not run: $("$tmp/root/usr/bin/oru-host" --version 2>&1)"
