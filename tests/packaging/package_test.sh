#!/usr/bin/env bash
# The Debian package of a built tree: its files, its control data, and
# programs that run from where it puts them (their RPATH finds the module's
# libraries).
#   package_test.sh BUILD_DIR
set -uo pipefail
build=$1
work=$(mktemp -d /tmp/lume-package-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

if ! (cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.out" 2>&1); then
    cat "$work/cpack.out"
    exit 1
fi
deb=$(ls "$work"/lume_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "FAILED: no package in $(ls "$work")"; exit 1; }

dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./||' >"$work/files"
for f in usr/sbin/lumed usr/bin/lumectl usr/lib/x86_64-linux-gnu/lume/libSinkFSM.so \
    usr/lib/x86_64-linux-gnu/lume/liblume.so usr/lib/x86_64-linux-gnu/lume/libplatform.so \
    usr/lib/systemd/system/lumed.service etc/lumed/lumed.toml \
    usr/share/man/man8/lumed.8 usr/share/man/man1/lumectl.1; do
    grep -qxF "$f" "$work/files" || fail "the package lacks $f"
done
grep -Eq "(^|/)(tests?|bench|fuzz)/|_tests$" "$work/files" && fail "the package carries tests"

dpkg-deb -I "$deb" >"$work/control"
grep -q "^ Depends: .*libc6" "$work/control" || fail "no library dependencies: $(cat "$work/control")"
for script in postinst prerm postrm conffiles; do
    grep -q " $script" "$work/control" || fail "no $script"
done

dpkg-deb -x "$deb" "$work/root"
for program in usr/sbin/lumed usr/bin/lumectl; do
    out=$("$work/root/$program" --version 2>&1) || fail "$program --version: $out"
    echo "$out" | grep -Eq '[0-9]+\.[0-9]+' || fail "$program --version says no version: $out"
done
# Whole before grep: with pipefail, grep -q leaving early would fail ldd by SIGPIPE.
libraries=$(ldd "$work/root/usr/sbin/lumed")
grep -q "=> $work/root/usr/.*/lume/liblume.so" <<<"$libraries" ||
    fail "lumed does not find its libraries where the package puts them"

[ "$failures" -eq 0 ] && echo PASSED
[ "$failures" -eq 0 ]
