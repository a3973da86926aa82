#!/usr/bin/env bash
# The keyring leg: a real gnome-keyring-daemon on a private session bus, unlocked with a test
# password. The data-protection tests, the account's whole life and the keyring's own
# end-to-end cases run against it.
#   run.sh BINARY_DIR WORK_DIR
# Environment (set by CTest): ZEL_E2E_DIR (a running dev server), ZEL_PYTHON, ZEL_SOURCE_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary_dir=$1 work=$2
if [ -z "${ZEL_KEYRING_LEG_BUS:-}" ]; then
    rm -rf "$work" && mkdir -p "$work"
    # The bus, and the keyring daemon with it, end when this script does.
    exec dbus-run-session -- env ZEL_KEYRING_LEG_BUS=1 "$0" "$@"
fi
export HOME=$work/home XDG_DATA_HOME=$work/home/share XDG_CONFIG_HOME=$work/home/config
export XDG_RUNTIME_DIR=$work/run ZEL_BINARY_DIR=$binary_dir
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export ZEL_TEST_KEYRING_PASSWORD="keyring leg $RANDOM"
# Creates the login keyring with this password, unlocked, as a desktop login does.
printf %s "$ZEL_TEST_KEYRING_PASSWORD" \
    | gnome-keyring-daemon --unlock --components=secrets >/dev/null
# Before any client: one that came first would have the bus start a second daemon.
/usr/bin/python3 "$here/keyring.py" wait
"$binary_dir/tests/tst_dataprotection"
"$ZEL_PYTHON" "$here/../e2e/test_account_life.py"
"$ZEL_PYTHON" "$here/test_keyring.py"
