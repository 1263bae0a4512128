#!/usr/bin/env bash
# CI step, run as root after the tests in the same fresh root: builds the .deb,
# checks it with lintian,
# installs it with apt-get as a user would, and checks what it put in place
# (manual pages and completion too).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target package -j2 >build/package.log 2>&1 || { tail -n 30 build/package.log; exit 1; }
debs=(build/vantis-sim_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one vantis-sim .deb in build/, found: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libqt6widgets6 libqt6network6 qt6-qpa-plugins libpcap0.8; do
  [[ $depends == *"$needed"* ]] || { echo "the package does not depend on $needed"; exit 1; }
done
# Debian's own package check: any error or warning fails (info tags are shown
# but allowed; overrides, if any, are in the package itself).
lintian --fail-on error,warning --display-info "$deb" >build/lintian.log 2>&1 || { cat build/lintian.log; echo "lintian finds errors or warnings in $deb"; exit 1; }
grep -v '^running with root privileges' build/lintian.log || true
echo "lintian: no errors, no warnings"
apt-get install -y -q "./$deb" >build/package-install.log 2>&1 || { tail -n 30 build/package-install.log; exit 1; }
desktop-file-validate /usr/share/applications/vantis-sim.desktop
test -f /usr/share/icons/hicolor/scalable/apps/vantis-sim.svg
test -f /usr/share/doc/vantis-sim/copyright
# The dissector is where tshark finds it.
plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p' || true)
if [ -n "$plugins" ]; then
  test -f "$plugins/vantis.lua" || { echo "the dissector is not in $plugins"; exit 1; }
  tshark -G protocols 2>/dev/null | grep -q '^Vantis instrument protocol' || { echo "tshark does not load the dissector"; exit 1; }
  echo "tshark loads the dissector from $plugins"
fi
# The manual pages. Some minimal images keep dpkg from installing any
# (path-exclude in /etc/dpkg/dpkg.cfg.d); there the pages are read from the .deb.
excluded=$(grep -hs '^[[:space:]]*path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/* || true)
for page in vantis-sim vantis-ctl vantis-replay; do
  if [ -z "$excluded" ]; then
    [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || { echo "man finds no installed page for $page"; exit 1; }
    text=$(MANWIDTH=80 man -P cat "$page" 2>&1)
  else
    echo "dpkg excludes manual pages here ($excluded); reading $page(1) from the package"
    rm -rf build/deb-contents && mkdir -p build/deb-contents && dpkg-deb -x "$deb" build/deb-contents
    text=$(MANWIDTH=80 man -P cat -l "build/deb-contents/usr/share/man/man1/$page.1.gz" 2>&1)
  fi
  [[ $text == *"$page - "* && $text == *'EXIT STATUS'* ]] || { echo "man $page shows no page: $text"; exit 1; }
done
echo "man vantis-sim, vantis-ctl and vantis-replay show their pages"
# The completion: a verb's words, and a model's name with its spaces.
completes() {
  bash -c 'source /usr/share/bash-completion/completions/vantis-ctl
    COMP_WORDS=("$@"); COMP_CWORD=$(( $# - 1 )); _vantis_ctl 2>/dev/null; printf "%s|" "${COMPREPLY[@]}"' sh "$@"
}
[ "$(completes vantis-ctl wait c)" = 'connected|' ] && [ "$(completes vantis-ctl model '2n')" = '2ndGen WorldSID|' ] \
  || { echo "bash completion of vantis-ctl: wait c -> $(completes vantis-ctl wait c), model 2n -> $(completes vantis-ctl model 2n)"; exit 1; }
echo "bash completion of vantis-ctl answers"
# The installed program loads its libraries and gets as far as the display;
# where there is none it must end cleanly, not abort.
set +e
msg=$(env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY DISPLAY=:55 vantis-sim 2>&1)
status=$?
set -e
[ "$status" -eq 255 ] && [[ $msg == *'cannot open X display'* ]] || { echo "installed vantis-sim: status $status: $msg"; exit 1; }
echo "installed vantis-sim starts: $msg"
# The control client comes with it; with no simulator behind the socket it says so.
set +e
msg=$(vantis-ctl --socket /nonexistent/control --timeout 1 state 2>&1)
status=$?
set -e
[ "$status" -eq 3 ] || { echo "installed vantis-ctl: status $status: $msg"; exit 1; }
echo "installed vantis-ctl answers: $msg"
# The documents travel with the program, and so does the Python package: it
# imports, its pytest plugin is found, and the example test file passes against
# the installed simulator (copied out, so that nothing is written under /usr).
for doc in README.md protocol.md control.md examples/pytest/test_first_cycle.py; do
  test -f "/usr/share/doc/vantis-sim/$doc" || { echo "not installed: /usr/share/doc/vantis-sim/$doc"; exit 1; }
done
py=/usr/bin/python3
msg=$(cd / && "$py" -c 'import vantis_sim; print(vantis_sim.__file__)')
[ "$msg" = /usr/lib/python3/dist-packages/vantis_sim/__init__.py ] || { echo "import vantis_sim: $msg"; exit 1; }
scratch=$(mktemp -d)
cp /usr/share/doc/vantis-sim/examples/pytest/test_first_cycle.py "$scratch/"
fixtures=$(cd "$scratch" && env -u VANTIS_SIM -u VANTIS_CTL "$py" -m pytest -p no:cacheprovider --fixtures 2>&1 || true)
[[ $fixtures == *vantis_sim* && $fixtures == *vantis_lab* ]] || { echo "pytest --fixtures lists no vantis_sim: $fixtures"; exit 1; }
(cd "$scratch" && env -u VANTIS_SIM -u VANTIS_CTL PYTHONDONTWRITEBYTECODE=1 "$py" -m pytest -q -p no:cacheprovider) \
  || { echo "the installed example test fails against the installed simulator"; exit 1; }
rm -rf "$scratch"
echo "installed: import vantis_sim, its pytest fixtures, and /usr/share/doc/vantis-sim/protocol.md"
