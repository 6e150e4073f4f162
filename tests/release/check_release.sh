#!/usr/bin/env bash
# Checks the release packages as a user meets them:
#
#   check_release.sh DEB ZIP VERSION
#
# The Debian package installs into a scratch root with dpkg (its dependencies are the build
# machine's); there quiver-pack reports VERSION, fills the installed Linux and Windows templates
# with the installed demo manifest, quiver-sim runs the filled Linux updater to the success
# message, the programs are stripped and have manual pages; then it uninstalls, leaving no file
# behind. lintian (where installed) finds no error in it. The zip holds the Windows programs and
# the documents.
set -euo pipefail

usage="usage: check_release.sh DEB ZIP VERSION"
deb="${1:?$usage}"
zip="${2:?$usage}"
version="${3:?$usage}"
for f in "$deb" "$zip"; do
    if [ ! -f "$f" ]; then
        echo "check_release: $f is missing: make the packages first (cmake --workflow --preset release)" >&2
        exit 1
    fi
done

scratch="$(mktemp -d "${TMPDIR:-/tmp}/quiver-release.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg=(dpkg --root="$root" --force-not-root --force-depends --log=/dev/null)

fail() {
    echo "check_release: $*" >&2
    exit 1
}

echo "== install $deb"
"${dpkg[@]}" -i "$deb"
"${dpkg[@]}" -s quiver-sdk | grep -qx "Status: install ok installed" || fail "not installed"

echo "== versions"
[ "$("$root/usr/bin/quiver-pack" --version)" = "quiver-pack $version" ] || fail "quiver-pack --version"
[ "$("$root/usr/bin/quiver-sim" --version)" = "quiver-sim $version" ] || fail "quiver-sim --version"

echo "== stripped programs, manual pages, documents"
for program in usr/bin/quiver-pack usr/bin/quiver-sim usr/lib/quiver/quiver; do
    if readelf -S "$root/$program" | grep -q '\.symtab'; then
        fail "$program is not stripped"
    fi
done
for page in quiver-pack quiver-sim; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep -qi "^\.TH \"\?$page" ||
        fail "no manual page for $page"
done
grep -q "Apache-2.0" "$root/usr/share/doc/quiver-sdk/copyright" || fail "no licence named"
[ -f "$root/usr/share/doc/quiver-sdk/packaging.md" ] || fail "no packaging.md"

echo "== fill the installed templates with the demo manifest"
demo="$root/usr/share/quiver/demo/kmr730t-demo.json"
"$root/usr/bin/quiver-pack" fill "$demo" "$root/usr/lib/quiver/quiver" -o "$scratch/quiver-demo"
for width in x64 x86; do
    "$root/usr/bin/quiver-pack" fill "$demo" "$root/usr/lib/quiver/windows-$width/quiver.exe" \
        -o "$scratch/quiver-$width.exe"
    "$root/usr/bin/quiver-pack" show "$scratch/quiver-$width.exe" >"$scratch/show-$width.txt"
    grep -q 'FirmwareVersion  "QM0F"' "$scratch/show-$width.txt" ||
        fail "quiver.exe ($width): no version strings of the package"
    grep -q "FileVersion      \"$version\"" "$scratch/show-$width.txt" ||
        fail "quiver.exe ($width): not version $version"
done

echo "== rehearse the filled Linux updater on quiver-sim"
"$root/usr/bin/quiver-sim" --package "$scratch/quiver-demo" --speed virtual >"$scratch/run.txt"
grep -q '^dialog information "Information" ok "Firmware has been updated successfully !"$' \
    "$scratch/run.txt" || { cat "$scratch/run.txt"; fail "the rehearsal did not succeed"; }

echo "== uninstall"
"${dpkg[@]}" --purge quiver-sdk
left="$(find "$root" -mindepth 1 -not -path "$root/var/lib/dpkg*" -type f)"
[ -z "$left" ] || fail "files left after the purge: $left"

if command -v lintian >/dev/null; then
    echo "== lintian"
    lintian --fail-on error --tag-display-limit 0 "$deb"
fi

echo "== zip"
listing="$(cmake -E tar tf "$zip")"
for file in windows-x64/quiver.exe windows-x86/quiver.exe quiver-pack.exe quiver-sim.exe \
    LICENSE README.md docs/packaging.md demo/kmr730t-demo.json demo/demo_image.bin; do
    grep -qx "quiver-sdk-$version-windows/$file" <<<"$listing" || fail "the zip lacks $file"
done
echo "check_release: the packages are sound"
