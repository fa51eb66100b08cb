#!/usr/bin/env bash
# Makes the Debian package of a finished build, unpacks it into a fresh root
# and uses it from there as a user would: the files are where they belong,
# the programs find their libraries without help, the tool packs and tests
# an archive, the client sends a message through the installed extension,
# and lintian finds no error.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/corvid-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$work"/out/corvid_*.deb)
dpkg-deb -x "$deb" "$work/root"
usr=$work/root/usr

for file in bin/corvid bin/corvid-zip bin/corvid-mapi bin/corvid-reg \
            lib/corvid/corvina.dll lib/corvid/MAPI32.DLL lib/corvid/rundll32 \
            share/man/man1/corvid.1.gz share/man/man1/corvid-zip.1.gz \
            lib/systemd/user/corvid.service share/doc/corvid/copyright; do
  [ -e "$usr/$file" ] || fail "missing /usr/$file"
done
grep -qx 'ExecStart=/usr/bin/corvid run' "$usr/lib/systemd/user/corvid.service" ||
  fail "the user unit does not start /usr/bin/corvid"
depends=$(dpkg-deb -f "$deb" Depends)
for package in libgmime-3.0-0 libsqlite3-0 libstdc++6; do
  [[ $depends == *"$package"* ]] || fail "Depends lacks $package: $depends"
done

unset LD_LIBRARY_PATH
for program in "$usr"/lib/corvid/*; do
  if ldd "$program" 2>/dev/null | grep -q 'not found'; then fail "$(basename "$program"): a library is not found"; fi
done

export CORVID_HOME=$work/home TMPDIR=$work
seq 1 20000 > "$work/numbers.txt"
"$usr/bin/corvid-zip" a -q "$work/numbers.zip" "$work/numbers.txt"
"$usr/bin/corvid-zip" t -q "$work/numbers.zip"
unzip -tq "$work/numbers.zip" >/dev/null || fail "unzip rejects the installed tool's archive"

"$usr/bin/corvid-mapi" stores >/dev/null
"$usr/lib/corvid/rundll32" "$usr/lib/corvid/corvina.dll,Install_RunDLL" 1 >/dev/null
echo "from the package" | "$usr/bin/corvid" send --to bob@example.com --subject packaged \
  --attach "$work/numbers.txt" >"$work/send.out" 2>"$work/send.err" || { cat "$work/send.err" >&2; fail "send failed"; }
grep -q 'numbers.zip' "$work/send.out" || { cat "$work/send.out" >&2; fail "the installed extension did not pack"; }

if ! command -v lintian >/dev/null; then
  [ -z "${CORVID_REQUIRE_PEERS:-}${CI:-}" ] || fail "lintian is not installed"
  echo "package: lintian is not installed; not checked"
  exit 0
fi
lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
if grep -q '^E:' "$work/lintian.log"; then cat "$work/lintian.log" >&2; fail "lintian reports errors"; fi
grep '^W:' "$work/lintian.log" || true
echo "package: $(basename "$deb") is whole"
