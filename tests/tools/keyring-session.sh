#!/bin/sh
# Runs a test program on a session bus and a keyring daemon of its own, in a temporary home, so
# the user's keyring is never touched: keyring-session.sh PROGRAM [ARGUMENTS...]
# The program learns it runs here from TERVALA_TEST_KEYRING_SESSION; where dbus-run-session or
# gnome-keyring-daemon is missing it runs without them, and TERVALA_TEST_NO_KEYRING says why.
set -u
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -m 700 "$home/run"
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
  XDG_RUNTIME_DIR="$home/run"
# Nothing may reach the user's own session bus, not even before ours is up.
unset DBUS_SESSION_BUS_ADDRESS
for tool in dbus-run-session gnome-keyring-daemon; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    TERVALA_TEST_NO_KEYRING="$tool is not installed (scripts/setup.sh test installs it)" "$@"
    exit $?
  fi
done
export TERVALA_TEST_KEYRING_SESSION=1
# The daemon unlocks (and first creates) the login keyring with the password on its input, then
# serves the Secret Service on the new bus; it ends with the bus.
dbus-run-session -- sh -c 'printf %s test-password | gnome-keyring-daemon --unlock --components=secrets >/dev/null &&
  exec "$@"' keyring-session "$@"
