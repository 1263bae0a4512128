#!/usr/bin/env bash
# CI step, run as root after the tests in the same fresh root: builds the .deb,
# installs it with apt-get as a user would, and checks what it put in place.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target package -j2 >build/package.log 2>&1 || { tail -n 30 build/package.log; exit 1; }
debs=(build/vantis-sim_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one vantis-sim .deb in build/, found: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libqt6widgets6 libqt6network6 qt6-qpa-plugins; do
  [[ $depends == *"$needed"* ]] || { echo "the package does not depend on $needed"; exit 1; }
done
apt-get install -y -q "./$deb" >build/package-install.log 2>&1 || { tail -n 30 build/package-install.log; exit 1; }
desktop-file-validate /usr/share/applications/vantis-sim.desktop
test -f /usr/share/icons/hicolor/scalable/apps/vantis-sim.svg
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
