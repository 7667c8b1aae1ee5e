#!/usr/bin/env bash
# Checks what `cmake --install` delivers, the way a user meets it:
#  1. configures the release build if needed and builds what is installed;
#  2. installs it into a temporary prefix and checks the libraries (with their
#     SONAME), every public header and nothing generated, the CMake package,
#     the pkg-config file and ksxctl (when the tree has it); each installed
#     header must compile on its own;
#  3. moves the prefix elsewhere (the package must be relocatable), builds
#     examples/ against it with find_package, and the client once more with
#     the flags pkg-config gives;
#  4. inside scripts/netns-run, runs the echo server, then each client against
#     it, then stops the server with SIGTERM and checks it withdrew its line;
#  5. installs the Python package python/ with pip, offline, and imports it.
# Exits non-zero on the first failure.
#
#   scripts/check-install.sh           (build tree: $KSX_BUILD_DIR or build/release)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

fail() { echo "check-install: FAIL: $*" >&2; exit 1; }
note() { echo "check-install: $*"; }

# ---- step 4, run inside the namespace: the examples against each other ------
run_examples() {
  local server=$1; shift
  local file="$KSX_HOME/etc/ostravine/ServiceData.cfg"
  log=$(mktemp)
  "$server" >"$log" 2>&1 &
  pid=$!
  trap 'kill -KILL "$pid" 2>/dev/null || true; rm -f "$log"' EXIT

  local tries=0
  until grep -q 'SERVICE: Echo ' "$file" 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || { cat "$log"; fail "echo_server ended before publishing its service"; }
    tries=$((tries + 1))
    [ $tries -le 300 ] || { cat "$log"; fail "echo_server published no service line"; }
    sleep 0.1
  done
  note "echo_server published: $(grep 'SERVICE: Echo ' "$file")"

  local client out
  for client in "$@"; do
    out=$(timeout 120 "$client" 2>&1) || { echo "$out"; cat "$log"; fail "$client did not get every answer"; }
    printf '  | %s\n' "${out//$'\n'/$'\n'  | }"
    for seq in 1 2 3; do
      echo "$out" | grep -q "^answer seq=$seq text=hello$" || fail "$client printed no answer for record $seq"
    done
  done

  kill -TERM "$pid"
  local status=0
  timeout 60 tail --pid="$pid" -f /dev/null || fail "echo_server did not stop on SIGTERM"
  wait "$pid" || status=$?
  sed 's/^/  | /' "$log"
  [ $status -eq 0 ] || fail "echo_server exited with status $status after SIGTERM"
  grep -q '^stopped$' "$log" || fail "echo_server did not stop through its own exit path"
  ! grep -q 'SERVICE: Echo ' "$file" || fail "echo_server left its line in the service file"
  note "examples ran against each other and stopped cleanly"
}

if [ "${1:-}" = --run-examples ]; then
  shift
  run_examples "$@"
  exit 0
fi

# ---- step 1: the build tree ------------------------------------------------------
build=${KSX_BUILD_DIR:-$root/build/release}
case "$build" in /*) ;; *) build=$root/$build ;; esac
if [ ! -f "$build/CMakeCache.txt" ]; then
  note "configuring $build"
  if [ "$build" = "$root/build/release" ]; then
    (cd "$root" && cmake --preset release >/dev/null)
  else
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
fi
targets=(KSXPort KSXBase Lumenar KSXMOM KSXComms)
has_ksxctl=0
if cmake --build "$build" --target help 2>/dev/null | grep -q '^ksxctl:'; then
  has_ksxctl=1
  targets+=(ksxctl)
fi
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)"

if ! command -v pkg-config >/dev/null; then
  [ "$(id -u)" -eq 0 ] || fail "pkg-config is not installed (apt-get install pkgconf)"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends pkgconf >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ksx-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- step 2: install and inspect ------------------------------------------------------
stage=$work/stage
cmake --install "$build" --prefix "$stage" >/dev/null
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
libdir=${libdir:-lib}
incdir=$stage/include/KSXComms

for lib in KSXComms KSXPort KSXBase Lumenar KSXMOM; do
  [ -e "$stage/$libdir/lib$lib.so" ] || fail "lib$lib.so is not installed"
  soname=$(readelf -d "$stage/$libdir/lib$lib.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$lib.so.1" ] || fail "lib$lib.so has SONAME '$soname', not lib$lib.so.1"
  [ -e "$stage/$libdir/$soname" ] || fail "$soname is not installed beside lib$lib.so"
done

# Exactly the headers of the source tree: every public one, nothing generated,
# none of the library's internal ones (those lib/comms/CMakeLists.txt names).
internal=$(sed -n '/^set(internal_headers/,/)/p' "$root/lib/comms/CMakeLists.txt" | grep -o '[A-Za-z]*\.h')
for h in "$root"/lib/comms/*.h "$root"/platform/*/*.h; do basename "$h"; done |
  grep -vxF -f <(printf '%s\n' $internal) | sort >"$work/want"
find "$incdir" -mindepth 1 -printf '%P\n' | sort >"$work/have"
diff -u "$work/want" "$work/have" >&2 || fail "installed headers differ from the public headers (- missing, + extra)"

for file in "$libdir/cmake/KSXComms/KSXCommsConfig.cmake" "$libdir/cmake/KSXComms/KSXCommsConfigVersion.cmake" \
            "$libdir/cmake/KSXComms/KSXCommsTargets.cmake" "$libdir/pkgconfig/KSXComms.pc"; do
  [ -f "$stage/$file" ] || fail "$file is not installed"
done
if [ $has_ksxctl -eq 1 ]; then
  [ -x "$stage/bin/ksxctl" ] || fail "ksxctl is not installed"
fi

# Nothing installed may point back into the source or build tree.
if grep -rIl -e "$root" -e "$build" "$stage" >&2; then
  fail "installed text files above name the source or build tree"
fi
for elf in "$stage/$libdir"/lib*.so.*.*.* "$stage"/bin/*; do
  [ -f "$elf" ] || continue
  if readelf -d "$elf" | grep -E 'R(UN)?PATH' | grep -q -e "$root" -e "$build"; then
    fail "$(basename "$elf") has a run path into the build tree"
  fi
done

note "compiling each installed header on its own"
export KSX_INCDIR=$incdir
# shellcheck disable=SC2016  # $1 and $KSX_INCDIR expand in the inner shell
(cd "$incdir" && printf "%s\n" *.h) | xargs -P "$(nproc)" -I{} sh -c \
  'printf "#include \"%s\"\n" "$1" | g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$KSX_INCDIR" -x c++ - \
   || { echo "check-install: $1 does not compile on its own" >&2; exit 1; }' sh {} \
  || fail "an installed header does not compile on its own"

# ---- step 3: move the prefix, then build the examples against it -------------------
prefix=$work/moved-prefix
mv "$stage" "$prefix"

note "building examples/ with find_package(KSXComms)"
cmake -S "$root/examples" -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/examples" -j "$(nproc)"

note "building echo_client with pkg-config flags"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
cflags=$(pkg-config --cflags KSXComms)
libs=$(pkg-config --libs KSXComms)
pc_incdir=$(pkg-config --variable=includedir KSXComms)
[ "$(realpath "$pc_incdir")" = "$(realpath "$prefix/include/KSXComms")" ] \
  || fail "pkg-config gives the header directory '$pc_incdir', not the moved prefix's"
# shellcheck disable=SC2086  # the flags are words
g++ -std=c++20 -Wall -Wextra -o "$work/echo_client_pc" "$root/examples/echo_client.cpp" \
    $cflags $libs -Wl,-rpath,"$prefix/$libdir" || fail "echo_client does not build with pkg-config flags"

# ---- step 4: run them in a private network namespace ---------------------------------
"$here/netns-run" bash "$here/check-install.sh" --run-examples \
  "$work/examples/echo_server" "$work/examples/echo_client" "$work/echo_client_pc"

# ---- step 5: the Python package installs offline (from a copy: pip builds in place) --
note "installing python/ with pip, offline"
cp -r "$root/python" "$work/python-src"
/usr/bin/python3 -m pip install -q --root-user-action=ignore --no-build-isolation --no-index --no-deps --target "$work/python" \
  "$work/python-src" || fail "pip cannot install python/ offline"
(cd "$work" && PYTHONPATH="$work/python" /usr/bin/python3 -c \
  'import ksxcomms, os, sys; sys.exit(0 if ksxcomms.__file__.startswith(sys.argv[1]) and os.path.exists(os.path.join(os.path.dirname(ksxcomms.__file__), "py.typed")) else 1)' \
  "$work/python/") || fail "the installed ksxcomms is not the one imported, or has no type information"
note "all checks passed"
