#!/usr/bin/env bash
# Builds the Debian package from the build tree, installs it as a user would and checks
# what a user meets: vexal-cli --version, man vexal-cli, the menu entry, the completions,
# a conversion, and lintian without errors. CI runs it after `make test`; it installs the
# package on this machine (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

make --no-print-directory package BUILD="$build"
deb=$(ls "$build"/vexal_*_amd64.deb)
version=$(dpkg-deb -f "$deb" Version)

# Debian's container images leave manual pages out (a dpkg path-exclude); a man page
# check there would prove nothing, so ours are let back in.
if grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  echo 'path-include=/usr/share/man/man1/vexal*' | $sudo tee /etc/dpkg/dpkg.cfg.d/zz-vexal-manual >/dev/null
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "./$deb" man-db lintian desktop-file-utils >/dev/null

fail() { echo "check-package: $*" >&2; exit 1; }

[ "$(vexal-cli --version)" = "vexal-cli $version" ] || fail "vexal-cli --version does not say $version"
[ "$(vexal --version)" = "vexal $version" ] || fail "vexal --version does not say $version"
MANPAGER=cat MANWIDTH=80 man vexal-cli | grep -q "EXIT STATUS" || fail "man vexal-cli shows no manual page"
MANPAGER=cat MANWIDTH=80 man vexal | grep -q "vexal-cli(1)" || fail "man vexal shows no manual page"

# The menu entry: valid, its program on the PATH, its icon installed.
entry=/usr/share/applications/io.github.vexal.Vexal.desktop
desktop-file-validate "$entry" || fail "the menu entry is not valid"
command -v "$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")" >/dev/null || fail "the menu entry's program is missing"
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the menu entry's icon is missing"

bash -c 'source /usr/share/bash-completion/completions/vexal-cli && complete -p vexal-cli' >/dev/null ||
  fail "the bash completion does not load"

# The installed tool converts.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=440:duration=1" "$work/tone.wav"
vexal-cli --quiet --format flac,opus --output "$work/out" "$work/tone.wav" >/dev/null ||
  fail "the installed vexal-cli does not convert"
[ -s "$work/out/tone.flac" ] && [ -s "$work/out/tone.opus" ] || fail "the installed vexal-cli wrote nothing"

lintian --fail-on error "$deb"
echo "check-package: $deb installs and works"
