#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed program.
#
#   install_test.sh --build DIR   installs the build DIR into a temporary
#       DESTDIR, checks the tree, and starts the installed program as a user
#       who cannot write its folder.
#   install_test.sh --deb FILE    installs the Debian package FILE with dpkg;
#       runs --help, --version and a refused option without a display;
#       checks that the manual page and --help agree; starts the program
#       from PATH as root, with SERIVOX_TEST_STEPS set, which the packaged
#       program must ignore; and removes the package again (skipped where
#       packages cannot be installed).
#
# A start runs the program offscreen with a temporary HOME: it must load its
# bridge library from the installed library folder, end with status 0 on
# SIGTERM, and leave its settings in $HOME/.config/serivox, not in its folder.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)

root=$(mktemp -d)
cleanup() { chmod -R u+w "$root"; rm -rf "$root"; }
trap cleanup EXIT
chmod 755 "$root"

# start_and_close EXE LIBDIR [COMMAND PREFIX...]
start_and_close() {
  local exe=$1 libdir=$2
  shift 2
  local home=$root/home log=$root/serivox.log pid i status=0
  rm -rf "$home"
  mkdir "$home"
  ((EUID != 0)) || chown nobody "$home"
  env -i PATH=/usr/bin:/bin HOME="$home" QT_QPA_PLATFORM=offscreen LD_DEBUG=files \
    "$@" "$exe" > "$log" 2>&1 &
  pid=$!
  # The window binds the bridge library when it is shown.
  for ((i = 0; i < 600; i++)); do
    grep -q "calling init: .*/Zelvar_Virtual_COM.DLL" "$log" && break
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.1
  done
  if ! grep -q "calling init: $libdir/Zelvar_Virtual_COM.DLL" "$log"; then
    kill -KILL "$pid" 2> /dev/null || true
    grep -v "^ *[0-9]*:" "$log" >&2 || true
    fail "$exe did not load its bridge library from $libdir"
  fi
  if [[ -n ${IGNORED_STEPS-} ]]; then
    # The steps would have pressed Exit 100 ms after the window was shown.
    sleep 2
    kill -0 "$pid" 2> /dev/null || fail "$exe obeyed SERIVOX_TEST_STEPS=$IGNORED_STEPS"
  fi
  kill -TERM "$pid"
  # Closing saves the settings; a program still there after a minute is
  # stuck (a message box about them, say).
  for ((i = 0; i < 600; i++)); do
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2> /dev/null && kill -KILL "$pid"
  wait "$pid" || status=$?
  grep -v "^ *[0-9]*:" "$log" >&2 || true
  ((status == 0)) || fail "$exe ended with status $status"
  local ini=$home/.config/serivox/serivox.ini
  [[ -f $ini ]] || fail "no settings in $ini"
  grep -qx '\[ComPort\]' "$ini" && grep -qx 'Port=COM1' "$ini" || fail "$ini lacks the port's section"
  local folder
  folder=$(dirname "$(PATH=/usr/bin:/bin command -v "$exe")")
  [[ ! -e $folder/serivox.ini ]] || fail "settings written next to $exe"
}

case ${1-} in
  --build)
    build=$2
    dest=$root/dest
    DESTDIR=$dest cmake --install "$build" > /dev/null
    tree=$dest$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")

    libdir=$tree/$(sed -n 's/^SERIVOX_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
    [[ -x $tree/bin/serivox ]] || fail "no executable in bin"
    [[ -f $libdir/Zelvar_Virtual_COM.DLL ]] || fail "no bridge library in $libdir"
    icons=$(find "$tree/share/icons/hicolor" -path '*/apps/org.serivox.Serivox.png' | wc -l)
    ((icons >= 3)) || fail "only $icons icon sizes in hicolor"
    grep -q '<svg' "$tree/share/icons/hicolor/scalable/apps/org.serivox.Serivox.svg" || fail "no scalable icon"
    bash -n "$tree/share/bash-completion/completions/serivox" || fail "no bash completion"
    desktop=$tree/share/applications/org.serivox.Serivox.desktop
    desktop-file-validate "$desktop" || fail "the desktop file does not validate"
    grep -qx 'Exec=serivox' "$desktop" || fail "the desktop file does not start serivox"
    appstreamcli validate --no-net "$tree/share/metainfo/org.serivox.Serivox.metainfo.xml" > /dev/null ||
      fail "the metainfo does not validate"
    [[ -s $tree/share/man/man1/serivox.1.gz ]] || fail "no manual page"
    [[ -f $tree/share/doc/serivox/README.md ]] || fail "no README"

    # Root writes anywhere, so root starts the program as nobody.
    chmod -R a-w "$tree/bin"
    run=()
    ((EUID != 0)) || run=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    start_and_close "$tree/bin/serivox" "$libdir" "${run[@]}"
    echo "installed tree and program: ok"
    ;;
  --deb)
    deb=$2
    if ((EUID != 0)); then
      echo "SKIP: installing $deb needs root"
      exit 0
    fi
    if dpkg-query -W -f='${Status}' serivox 2> /dev/null | grep -q "install ok installed"; then
      echo "SKIP: serivox is installed on this machine already; not replacing it"
      exit 0
    fi
    libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/serivox
    dpkg -i "$deb" > /dev/null
    status=0
    (
      exe=$(command -v serivox) || fail "serivox is not on PATH after dpkg -i"
      [[ $exe == /usr/bin/serivox ]] || fail "serivox on PATH is $exe"
      # No display, as over ssh or in a script: help, version and a refusal
      # print their text and end with 0, 0 and 2.
      nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
      out=$("${nodisplay[@]}" serivox --help) || fail "serivox --help without a display: status $?"
      [[ $out == "Usage: serivox [options]"* ]] || fail "serivox --help printed: $out"
      out=$("${nodisplay[@]}" serivox --version) || fail "serivox --version without a display: status $?"
      [[ $out == "Serivox "[0-9]* ]] || fail "serivox --version printed: $out"
      code=0
      out=$("${nodisplay[@]}" serivox --baud 7 2>&1) || code=$?
      ((code == 2)) && [[ $out == "serivox: Invalid baud rate '7'"* ]] ||
        fail "serivox --baud 7 without a display: status $code, $out"
      bash "$here/manual_test.sh" /usr/bin/serivox /usr/share/man/man1/serivox.1.gz || fail "manual page and --help differ"
      # The packaged program has no test hooks: the string is not even in it.
      ! grep -q SERIVOX_TEST_STEPS /usr/bin/serivox || fail "/usr/bin/serivox reads SERIVOX_TEST_STEPS"
      # As root the program could write /usr/bin; it must not.
      IGNORED_STEPS=exit start_and_close serivox "$libdir" SERIVOX_TEST_STEPS=exit || exit 1
    ) || status=$?
    dpkg -r serivox > /dev/null
    ((status == 0)) || fail "the packaged program failed"
    [[ ! -e /usr/bin/serivox && ! -e $libdir ]] || fail "dpkg -r left files behind"
    echo "package installed, run without a display, started from PATH and removed: ok"
    ;;
  *)
    fail "usage: $0 --build DIR | --deb FILE"
    ;;
esac
