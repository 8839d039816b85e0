#!/bin/bash
# The .deb built by CPack from this build: what it holds and depends on (dpkg-deb), lintian free
# of errors, and the unpacked programs finding what they load where the server looks for it.
set -euo pipefail
: "${VL_BUILD:?VL_BUILD must name the build folder}"
WORK=$(mktemp -d /tmp/vl-package.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILURES=0
check() { if "${@:2}"; then echo "ok - $1"; else echo "FAILED - $1"; FAILURES=$((FAILURES + 1)); fi; }

(cd "$VL_BUILD" && cpack -G DEB -B "$WORK/out") >"$WORK/cpack.log" 2>&1 ||
  { cat "$WORK/cpack.log"; exit 1; }
DEB=$(ls "$WORK"/out/vantrel-link_*_*.deb)
dpkg-deb --info "$DEB" >"$WORK/info"
dpkg-deb --contents "$DEB" | awk '{print $6}' >"$WORK/contents"
holds() { grep -qx "./$1" "$WORK/contents"; }
check "the package is vantrel-link" grep -q "^ Package: vantrel-link$" "$WORK/info"
for file in usr/bin/vantrel-link usr/bin/vantrel-link-client usr/bin/vantrel-link-viewer \
            usr/lib/vantrel-link/libPhantomScreen.so \
            usr/lib/systemd/user/vantrel-link.service usr/share/applications/vantrel-link.desktop \
            usr/share/icons/hicolor/scalable/apps/vantrel-link.svg etc/pam.d/vantrel-link \
            usr/share/doc/vantrel-link/copyright \
            usr/share/gnome-shell/extensions/windows@vantrel-link.example/extension.js \
            usr/share/gnome-shell/extensions/windows@vantrel-link.example/metadata.json; do
  check "it holds /$file" holds "$file"
done
depends=$(sed -n 's/^ Depends: //p' "$WORK/info")
for package in xserver-xorg-video-dummy openbox tint2 libqt6widgets6 libpam0g libngtcp2 libx265 libsdl2; do
  check "it depends on $package" grep -q "$package" <<<"$depends"
done
check "the PAM service is a conffile" bash -c "dpkg-deb -I '$DEB' conffiles | grep -qx /etc/pam.d/vantrel-link"

lintian --tag-display-limit 0 "$DEB" >"$WORK/lintian" 2>&1 || true
grep -v "running with root" "$WORK/lintian" || true
check "lintian reports no errors" bash -c "! grep -q '^E: ' '$WORK/lintian'"

# Unpacked, the server finds the virtual display library beside its bin/ folder, the autostart
# entry and the unit start the installed program.
dpkg-deb -x "$DEB" "$WORK/root"
check "the unpacked server runs" "$WORK/root/usr/bin/vantrel-link" --help
check "the library sits where the server loads it" \
  test -f "$WORK/root/usr/bin/../lib/vantrel-link/libPhantomScreen.so"
check "the unit starts the installed program" \
  grep -qx "ExecStart=/usr/bin/vantrel-link --headless" "$WORK/root/usr/lib/systemd/user/vantrel-link.service"
check "the desktop entry starts the installed program" \
  grep -qx "Exec=vantrel-link" "$WORK/root/usr/share/applications/vantrel-link.desktop"
echo "$((FAILURES)) failed"
[ "$FAILURES" -eq 0 ]
