#!/usr/bin/env bash
# Builds the Debian package from a build tree (cpack -G DEB), checks what
# it holds and its dependencies, and runs lintian at the pedantic level: no
# tag allowed but those the package overrides, each with its reason
# (packaging/lintian-overrides.in); Debian's hardening of the programs
# (bindnow, fortify). A build for another install prefix than the
# package's cannot make a sound package: that is a skip (exit 77), said on
# standard output.
# Usage: deb_test.sh BUILD_DIR INSTALL_PREFIX PACKAGE_PREFIX
set -euo pipefail
build=$1 prefix=$2 package_prefix=$3
if [ "$prefix" != "$package_prefix" ]; then
  echo "SKIP: this build installs into $prefix; the package is built from a build for $package_prefix" \
    "(cmake --preset release, or -DCMAKE_INSTALL_PREFIX=$package_prefix)"
  exit 77
fi
rm -rf "$build/package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/qmx415u_*.deb)
failures=0
check() {
  local name=$1; shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/lib/cups/filter/rastertoqmx415u ./usr/share/ppd/qmx415u/qmx415u.ppd ./usr/bin/qmx415u-print \
  ./usr/bin/qmx415u-decode ./usr/bin/qmx415u-sample ./usr/share/man/man8/rastertoqmx415u.8.gz \
  ./usr/share/doc/qmx415u/copyright ./usr/share/doc/qmx415u/changelog.gz; do
  check "holds $path" grep -qx -- "$path" <<<"$contents"
done
check "holds the plug-in library" grep -q "/qmx415u/libqmx415u.so$" <<<"$contents"
check "holds the job worker beside it" grep -q "/qmx415u/qmx415u-app-worker$" <<<"$contents"
if grep -qx ./usr/bin/qmx415u-app <<<"$contents"; then  # the printer application's service, when it is built
  for path in ./usr/lib/systemd/system/qmx415u-app.service ./usr/lib/sysusers.d/qmx415u-app.conf \
    ./usr/lib/tmpfiles.d/qmx415u-app.conf ./usr/lib/udev/rules.d/70-qmx415u-app.rules ./etc/pam.d/qmx415u-app \
    ./usr/share/man/man1/qmx415u-app.1.gz ./usr/share/lintian/overrides/qmx415u; do
    check "holds $path" grep -qx -- "$path" <<<"$contents"
  done
  control=$(dpkg-deb -I "$deb")
  for part in postinst prerm postrm conffiles; do
    check "has $part" grep -qE "^ +[0-9]+ bytes, +[0-9]+ lines +\*? +$part\b" <<<"$control"
  done
  check "depends on adduser" grep -qE "(^|, )adduser( |,|$)" <<<"$(dpkg-deb -f "$deb" Depends)"
fi
check "leaves the test tools out" bash -c '! grep -q "make-raster\|raster-check\|make-ppd" <<<"$1"' _ "$contents"
depends=$(dpkg-deb -f "$deb" Depends)
for need in cups cups-filters libc6 libcups2 libpng16-16; do
  check "depends on $need" grep -qE "(^|, )$need( |,|$)" <<<"$depends"
done
lintian --pedantic --display-info --tag-display-limit 0 "$deb" >"$build/package/lintian.txt" 2>&1 || true
cat "$build/package/lintian.txt"
check "lintian reports no tag, pedantic ones included" bash -c '! grep -q "^[EWIPX]: " "$1"' _ "$build/package/lintian.txt"
for file in usr/bin/qmx415u-app usr/lib/cups/filter/rastertoqmx415u; do  # Debian's hardening: bindnow, fortify
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./$file" >"$build/package/binary"
  check "$file binds now" bash -c 'readelf -d "$1" | grep -q "FLAGS.*BIND_NOW"' _ "$build/package/binary"
  check "$file is fortified" bash -c 'readelf -s --wide "$1" | grep -q "__[a-z]*_chk@"' _ "$build/package/binary"
done
echo "$failures failed"
[ "$failures" = 0 ]
