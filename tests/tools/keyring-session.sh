#!/bin/sh
# keyring-session.sh PROGRAM [ARGUMENTS...]: runs a test program on a session bus and keyring
# daemon of its own, in a temporary home, so the user's keyring is never touched. The program sees
# TERVALA_TEST_KEYRING_SESSION, and the daemon's pid in TERVALA_TEST_KEYRING_PID (to stop it);
# without dbus-run-session or gnome-keyring-daemon, TERVALA_TEST_NO_KEYRING says what is missing.
set -u

if [ "${1-}" = --on-bus ]; then
  shift
  # The daemon unlocks (first creating) the login keyring and takes its bus name a moment later.
  printf %s test-password | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 1
  for _ in $(seq 100); do
    pid=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.secrets 2>/dev/null |
      awk '/uint32/ { print $2 }')
    [ -n "$pid" ] && TERVALA_TEST_KEYRING_PID=$pid TERVALA_TEST_KEYRING_SESSION=1 exec "$@"
    sleep 0.1
  done
  echo "keyring-session: the keyring daemon did not come up on the bus" >&2
  exit 1
fi

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -m 700 "$home/run"
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
  XDG_RUNTIME_DIR="$home/run"
unset DBUS_SESSION_BUS_ADDRESS # nothing may reach the user's own session bus
for tool in dbus-run-session dbus-send gnome-keyring-daemon; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    TERVALA_TEST_NO_KEYRING="$tool is not installed (scripts/setup.sh test installs it)" "$@"
    exit $?
  fi
done
dbus-run-session -- sh "$0" --on-bus "$@"
