#!/bin/bash
# Builds the Windows platform layer with mingw-w64 and checks it under Wine, in a fresh Wine
# prefix that is set up with "reg add" / "reg delete" before each phase.
#
# Usage: run.sh [output directory]   (default: a temporary directory)
# Environment: ZEL_WINDOWS_PLATFORM_EXE (the check as the Windows build made it; else built here
# with MINGW_CXX, default x86_64-w64-mingw32-g++), WINE (default /usr/lib/wine/wine64).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
platform=$here/../../plugins/zel.network.oauth/platform
cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++}
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
out=${1:-$(mktemp -d)}
mkdir -p "$out"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
started=$(now)

exe=${ZEL_WINDOWS_PLATFORM_EXE:-}
if [ -z "$exe" ]; then
    exe=$out/tst_windows_platform.exe
    # Static, so that Wine needs none of the compiler's DLLs.
    "$cxx" -std=c++17 -Wall -Wextra -Werror -static -municode -O1 -I"$platform" \
        "$here/tst_windows_platform.cpp" "$platform/DataProtection_win.cpp" \
        "$platform/Digest_win.cpp" "$platform/SystemLookup_win.cpp" "$platform/IdentityRules.cpp" \
        -lcrypt32 -lsecur32 -ladvapi32 -lbcrypt -o "$exe"
    echo "built in $(elapsed "$started") s"
fi

export WINEPREFIX
WINEPREFIX=$(mktemp -d)
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers only slow the prefix down.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Arguments with non-ASCII text reach the program as UTF-16 only from a UTF-8 locale.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

prefixStarted=$(now)
# One server for the many short runs below, kept up between them; cleanup stops it.
"$wineserver" -p
"$wine" wineboot --init >/dev/null 2>&1
echo "Wine prefix created in $(elapsed "$prefixStarted") s"

cd "$out"
total_passed=0
total_failed=0

# Runs one phase (in the locale phase_locale, when set) and adds its counts; a run that ends
# without its summary line counts as failed.
phase() {
    echo "--- $*"
    local output status=0
    output=$(LC_ALL=${phase_locale:-$LC_ALL} "$wine" "$exe" "$@" 2>&1 | tr -d '\r') || status=$?
    [ -n "$output" ] && printf '%s\n' "$output"
    local summary
    summary=$(printf '%s\n' "$output" | tail -n 1)
    if [[ $summary =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        total_passed=$((total_passed + BASH_REMATCH[1]))
        total_failed=$((total_failed + BASH_REMATCH[2]))
        if [ "$status" -ne 0 ] && [ "${BASH_REMATCH[2]}" -eq 0 ]; then
            echo "FAIL: exit status $status without a failed check"
            total_failed=$((total_failed + 1))
        fi
    else
        echo "FAIL: the run ended without its summary (exit status $status)"
        total_failed=$((total_failed + 1))
    fi
}

reg() {
    if ! "$wine" reg "$@" >/dev/null 2>&1; then
        echo "FAIL: reg $*"
        total_failed=$((total_failed + 1))
    fi
}
sha1() { printf '%s' "$1" | sha1sum | cut -d' ' -f1; }
empty_digest=$(sha1 "")

# Data protection within one process (across processes: the account's life, e2e_http).
phase protection

# The machine id, as the new prefix has it and as set here.
crypto='HKLM\Software\Microsoft\Cryptography'
guid=$("$wine" reg query "$crypto" /v MachineGuid 2>/dev/null | tr -d '\r' |
    awk '$1 == "MachineGuid" && $2 == "REG_SZ" { print $3 }')
if [ -n "$guid" ]; then
    phase machine id="$guid" digest="$(sha1 "$guid")"
else
    echo "FAIL: the new prefix has no MachineGuid"
    total_failed=$((total_failed + 1))
fi
# Case is kept: the digest is of the bytes as stored.
guid=6F9619FF-8B86-D011-B42D-00C04FC964FF
reg add "$crypto" /v MachineGuid /t REG_SZ /d "$guid" /f
phase machine id="$guid" digest="$(sha1 "$guid")"
# Longer than any first guess of the buffer, and not ASCII: the digest is of its UTF-8 bytes.
long="Maschine-ü-$(printf '%0300d' 0)"
reg add "$crypto" /v MachineGuid /t REG_SZ /d "$long" /f
phase machine id="$long" digest="$(sha1 "$long")"
reg add "$crypto" /v MachineGuid /t REG_SZ /d "" /f
phase machine id= digest="$empty_digest"
reg add "$crypto" /v MachineGuid /t REG_DWORD /d 42 /f
phase machine id! digest="$empty_digest"
reg delete "$crypto" /v MachineGuid /f
phase machine id! digest="$empty_digest"

# The process environment comes from the user's profile, which holds USERNAME.
volatile='HKCU\Volatile Environment'
reg add "$volatile" /v USERNAME /d "Zoë Tester" /f
phase user username="Zoë Tester"
long="user-$(printf '%0300d' 0)"
reg add "$volatile" /v USERNAME /d "$long" /f
phase user username="$long"
reg delete "$volatile" /v USERNAME /f
phase user username!

# The user's details. Wine's security provider maps neither the display name nor the principal
# name (ERROR_NONE_MAPPED), so the names stay out and the profile's accounts stand in for the
# e-mail address, in the order in which QSettings lists child groups on Windows: case-sensitive,
# by UTF-16 code unit, whatever the order of creation or the registry's own (case-insensitive).
wine_names=(display! principal!)
identity='HKCU\Software\Microsoft\IdentityCRL'
accounts="$identity\\UserExtendedProperties"
phase details "${wine_names[@]}" country="United States"
reg add "$accounts" /v ignored@example.com /d "a value, not a sub-key" /f
phase details "${wine_names[@]}" country="United States"
reg add "$accounts\\anna.berg@example.org" /f
phase details "${wine_names[@]}" account=anna.berg@example.org country="United States"
reg delete "$accounts" /f
for name in zed@example.com Anna.Berg@example.org bob@example.net; do
    reg add "$accounts\\$name" /f
done
phase details "${wine_names[@]}" account=Anna.Berg@example.org account=bob@example.net \
    account=zed@example.com country="United States"
reg delete "$accounts" /f
for name in "Zoë Müller" S-1-5-21-1004 "not an address"; do
    reg add "$accounts\\$name" /f
done
phase details "${wine_names[@]}" account=S-1-5-21-1004 account="Zoë Müller" \
    account="not an address" country="United States"
# Another locale: Wine takes the user's locale from the Unix one.
reg delete "$identity" /f
phase_locale=de_DE.UTF-8 phase details "${wine_names[@]}" country=Germany

echo "whole run took $(elapsed "$started") s"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
