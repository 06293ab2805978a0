# Sourced by the Wine end-to-end tests: the private world of tests/world.sh plus a fresh
# Wine prefix with a wineserver of its own. Sets: exes (folder of the Windows build under
# test), wine (the loader).
#
# The product is 32-bit. Where 32-bit Wine cannot run or is not installed (a kernel without
# IA-32 emulation, or a package mirror that could not serve it: scripts/bootstrap), the same
# sources, built for 64-bit Windows, are run with 64-bit Wine instead, and the tests say so.

# Debian's Wine 10 keeps its server's folder in /run/user/<uid>, and without that folder (a root
# without a login session: CI, a chroot) its wineserver crashes. Such a test runs again in a
# mount namespace of its own, where an empty /run/user holds the folder: nothing outside it sees.
if [ ! -d "/run/user/$(id -u)" ] && [ -z "${KNOBVANE_WINE_RUN_USER:-}" ] &&
  [ "$(wine --version 2>/dev/null | sed -n 's/^wine-\([0-9]*\).*/\1/p')" -ge 9 ] 2>/dev/null; then
  mapfile -d '' -t command </proc/$$/cmdline
  export KNOBVANE_WINE_RUN_USER=1
  # shellcheck disable=SC2016 # expanded by the inner shell
  exec unshare --mount --propagation private -- bash -c \
    'mount -t tmpfs -o mode=755 knobvane-wine /run/user && mkdir -m 700 "/run/user/$(id -u)" &&
     exec "$@"' bash "${command[@]}"
fi
source "$(dirname "${BASH_SOURCE[0]}")/../world.sh"
builds=$1
on_exit+=('[ -n "${WINESERVER:-}" ] && "$WINESERVER" -k 2>/dev/null')

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32
  exes=$builds/mingw32
else
  echo "note: no 32-bit Wine here; testing the 64-bit build with 64-bit Wine"
  export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
  exes=$builds/mingw64
fi
wine=$WINELOADER

export WINEPREFIX=$dir/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY

# A fresh prefix with its own wineserver in the foreground, so it is ours to stop.
start_wine() {
  # The server runs in the prefix folder: without it, it would end at once and wineboot
  # would start one of its own.
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -f -p >"$dir/wineserver.log" 2>&1 &
  pids+=($!)
  timeout 120 "$wine" wineboot -i >"$dir/wineboot.log" 2>&1 || fail "wineboot failed"
  timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f \
    >/dev/null 2>&1 || fail "could not select Wine's PulseAudio driver"
}

# The stand-in winmm's legacy lines every Windows test starts from: 0 Card, 1 Speakers
# (line ID 0xffff0000), 2 Wave (line ID 0), each with a balance of its own.
write_legacy_mixer() {
  cat >"$1" <<'EOF'
device Card
destination 2 Speakers
volume 65535 32 40000 20000
source 2 Wave
volume 100 100 50 25
EOF
}
