#!/usr/bin/env bash
# Builds the Debian package from a clean clone of the committed tree, unpacks
# it, and runs the packaged program's --version. As root, it also checks that
# dpkg would install it here with every dependency met (without installing).
#
#   bash scripts/package-test.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git clone -q "$root" "$work/clone"
deb=$(bash "$work/clone/scripts/package.sh" | tail -n 1)
echo "package: $(basename "$deb")"
dpkg-deb --info "$deb" | sed -n 's/^ *\(Package\|Version\|Depends\|Recommends\):/  &/p'

dpkg-deb -x "$deb" "$work/unpacked"
version=$("$work/unpacked/usr/bin/cuewell" --version)
expected="cuewell $(dpkg-deb -f "$deb" Version)"
if [ "$version" != "$expected" ]; then
  echo "packaged cuewell --version says '$version', expected '$expected'" >&2
  exit 1
fi
echo "unpacked: $version"

for f in usr/bin/oscmonitor usr/share/cuewell/Pin_16T3.bmp \
         usr/share/applications/org.cuewell.Cuewell.desktop \
         usr/share/icons/hicolor/scalable/apps/org.cuewell.Cuewell.svg \
         usr/share/metainfo/org.cuewell.Cuewell.metainfo.xml; do
  [ -f "$work/unpacked/$f" ] || { echo "missing from the package: $f" >&2; exit 1; }
done

if [ "$(id -u)" -eq 0 ]; then
  dpkg --dry-run -i "$deb" >/dev/null
  echo "dpkg -i: dependencies met"
fi
echo "Package test passed."
