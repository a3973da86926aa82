#!/usr/bin/env bash
# The plug-in as an outside host adopts it: install the build into a fresh prefix, configure and
# build examples/host against the installed package, and run it against the dev server.
#   run.sh BUILD_DIR WORK_DIR QT_MAJOR E2E_DIR EMAIL [OTHER_BUILD_DIR]   (password in ZEL_PASSWORD,
#   the Python interpreter in ZEL_PYTHON)
# With OTHER_BUILD_DIR (a build with the other Qt major) it also checks that the host refuses
# that build's plug-in, and that find_package passes this package by for a host of the other Qt
# major and goes on to that build's.
# A Windows build sets ZEL_WINE_RUN (its Wine runner), ZEL_TOOLCHAIN and ZEL_QT_PREFIX: the host
# is cross-built the same way and run under Wine.
set -euo pipefail
build=$1 work=$2 major=$3 e2e=$4 email=$5 other=${6:-}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$work/prefix
python=${ZEL_PYTHON:?the Python interpreter, set by CTest}
rm -rf "$work" && mkdir -p "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
# The README shows an excerpt of this host: each part between "// ..." lines must be whole lines
# of the file that is tested here.
"$python" - "$source_dir" <<'PY' || fail "README.md shows lines that examples/host/main.cpp lacks"
import pathlib, re, sys
root = pathlib.Path(sys.argv[1])
readme = root.joinpath("README.md").read_text("utf-8")
shown = readme.split("<!-- excerpt of examples/host/main.cpp -->\n```cpp\n", 1)[1].split("```\n", 1)[0]
source = "\n" + root.joinpath("examples/host/main.cpp").read_text("utf-8")
parts = re.split(r"(?m)^ *// \.\.\.\n", shown)
sys.exit(not all(part.strip() and "\n" + part in source for part in parts))
PY
exe="" module=.so run=() cross=() prefix_path=$prefix
if [ -n "${ZEL_WINE_RUN:-}" ]; then
    exe=.exe module=.dll run=("$ZEL_WINE_RUN")
    cross=(-DCMAKE_TOOLCHAIN_FILE="${ZEL_TOOLCHAIN:?}")
    prefix_path="$prefix;${ZEL_QT_PREFIX:?}"
fi
# A Windows program ends its lines with CR LF.
host_run() { "${run[@]}" "$@" | tr -d '\r'; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$source_dir/examples/host" -B "$work/host" -DCMAKE_PREFIX_PATH="$prefix_path" \
    -DHOST_QT_MAJOR_VERSION="$major" "${launcher[@]}" "${cross[@]}" >"$work/configure.log" 2>&1 \
    || { cat "$work/configure.log"; fail "the host project does not configure"; }
cmake --build "$work/host" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "no build"; }
! grep -n "warning:" "$work/build.log" || fail "the public headers give warnings"

# The layout that hosts and packagers rely on.
for f in bin/zel-account$exe qt$major/plugins/zel/zel.network.oauth$module \
    include/zel/OAuth2Client.h include/zel/AuthenticatedReply.h; do
    find "$prefix" -path "*/$f" | grep -q . || fail "$f is not installed"
done
! find "$prefix/include" -name '*Impl*' -o -name 'AbstractOAuth2Client.h' | grep . \
    || fail "private headers are installed"
# The installed zel-account finds the installed plug-in by itself.
zel_account=$(find "$prefix" -path "*/bin/zel-account$exe" | head -n 1)
host_run "$zel_account" --version | grep -Eqx 'zel-account [0-9]+\.[0-9]+\.[0-9]+' \
    || fail "zel-account --version gives no version"
env -u ZEL_PLUGIN "${run[@]}" "$zel_account" --settings "$work/status.ini" status | grep -q LoggedOut \
    || fail "the installed zel-account does not find the installed plug-in"

oauth=$("$python" -c 'import json,sys; print(json.load(open(sys.argv[1]))["oauth"])' "$e2e/ready.json")
api=$("$python" -c 'import json,sys; print(json.load(open(sys.argv[1]))["api"])' "$e2e/ready.json")
out=$(printf '%s\n' "$ZEL_PASSWORD" \
    | host_run "$work/host/zel-host$exe" "$work/host.ini" "$oauth" "$api" "$email" 2>"$work/host.err") \
    || { cat "$work/host.err"; echo "$out"; fail "the host failed"; }
echo "$out"
grep -qx "logged in" <<<"$out" || fail "no login"
grep -q "^GET /me: {.*\"email\":\"$email\"" <<<"$out" || fail "GET /me gave no profile"
grep -q '^POST /notes: {.*"text":"Hello from the host"' <<<"$out" || fail "POST /notes gave no note"
grep -Eq '^GET /no-such-resource: error [0-9]+: .+' <<<"$out" || fail "the failing call reported no error"

[ -n "$other" ] || exit 0
other_major=$((major == 6 ? 5 : 6))
# The other build's plug-in: the loader refuses it, and says why.
other_plugin=$other/plugins/zel.network.oauth.so
[ -f "$other_plugin" ] || fail "$other_plugin not found"
if printf 'x\n' | "$work/host/zel-host" "$work/other.ini" "$oauth" "$api" "$email" "$other_plugin" \
    >"$work/other.out" 2>"$work/other.err"; then
    fail "a plug-in built with Qt $other_major was loaded"
fi
cat "$work/other.err"
grep -Eq "cannot load the plug-in: .*(incompatible Qt library|not a Qt plugin|meta ?data)" "$work/other.err" \
    || fail "the loader gave no reason"
# A host of the other Qt major: this package is unsuitable to it, so find_package passes it by
# and, with no other installation, fails naming why.
if cmake -S "$source_dir/examples/host" -B "$work/host-other" -DCMAKE_PREFIX_PATH="$prefix" \
    -DHOST_QT_MAJOR_VERSION="$other_major" >"$work/other-configure.log" 2>&1; then
    fail "a Qt $other_major host accepted the Qt $major package"
fi
# CMake wraps the message's lines.
tr -s ' \n' '  ' <"$work/other-configure.log" \
    | grep -q "was built with Qt $major, but this project uses Qt $other_major" \
    || { cat "$work/other-configure.log"; fail "the package gave no clear reason"; }
# With the other major's installation after this one on the path, find_package goes on to it.
cmake --install "$other" --prefix "$work/prefix-other" >"$work/install-other.log"
rm -rf "$work/host-other"
cmake -S "$source_dir/examples/host" -B "$work/host-other" \
    -DCMAKE_PREFIX_PATH="$prefix;$work/prefix-other" -DHOST_QT_MAJOR_VERSION="$other_major" \
    >"$work/other-configure.log" 2>&1 \
    || { cat "$work/other-configure.log"; fail "find_package did not go on to the Qt $other_major package"; }
grep -q "^ZelNetworkOAuth_DIR:PATH=$work/prefix-other/" "$work/host-other/CMakeCache.txt" \
    || fail "the Qt $other_major host found another package than the Qt $other_major one"
echo "the other Qt major is refused by the loader and passed by by the package"
