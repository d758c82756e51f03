#!/usr/bin/env bash
# The install as a user gets it: installs the build into a temporary DESTDIR
# (or takes an unpacked package's root) and, with nothing of the build folder
# on any path and no HALVSERVE_PATH or LD_LIBRARY_PATH, runs a small
# community from the installed files alone: the installed halvdir, two users
# who register with the installed halvara, one serving a share with the
# installed drovick-peer and the other listing it by e-mail address. The
# presence service that answers must be the installed halvserve, started by
# the installed library.
# usage: installed-network.sh --build BUILD_DIR
#        installed-network.sh --root ROOT PREFIX   (an unpacked package)
set -euo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND"' ERR

work=$(mktemp -d)
pids=()
installed_service=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # The presence services of this test's users end once nobody holds them;
  # a failed run may leave one: only those of our own session folders go.
  for pid in $(service_pids "$work"); do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; for log in "$work"/*.log; do echo "--- $log"; cat "$log"; done; exit 1; }

# Pids of running halvserve processes whose session folder lies under $1.
service_pids() {
  local proc
  for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/exe" 2>/dev/null)" = "$installed_service" ] || continue
    tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -q "^XDG_RUNTIME_DIR=$1/" &&
      echo "${proc#/proc/}"
  done
}

case "${1:-}" in
  --build)
    build=$(cd "$2" && pwd)
    prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
    DESTDIR="$work/root" cmake --install "$build" >"$work/install.log" || fail "cmake --install"
    root="$work/root$prefix"
    ;;
  --root)
    build=""
    prefix=$3
    root="$2$3"
    ;;
  *) echo "usage: $0 --build BUILD_DIR | --root ROOT PREFIX"; exit 2 ;;
esac

bin="$root/bin"
installed_service="$root/libexec/halvara/halvserve"
[ -x "$installed_service" ] || fail "halvserve not installed in libexec/halvara"
library=$(find "$root/lib" -name libhalvara.so.1 | head -n1)
[ -n "$library" ] || fail "no libhalvara.so.1 under $root/lib"
for program in drovick-peer halvara halvdir; do
  [ -x "$bin/$program" ] || fail "$program not installed"
done

# Pages, units naming the installed programs, and the header; with the window
# program, its menu entry, icons and help.
for file in share/man/man1/halvara.1.gz share/man/man1/drovick-peer.1.gz \
  share/man/man8/halvdir.8.gz share/doc/drovick/copyright include/halvara.h; do
  [ -f "$root/$file" ] || fail "$file not installed"
done
grep -qx "ExecStart=$prefix/bin/halvdir serve .*" "$root/lib/systemd/system/halvdir.service" ||
  fail "halvdir.service does not start $prefix/bin/halvdir"
grep -qx "ExecStart=$prefix/bin/drovick-peer serve" "$root/lib/systemd/user/drovick-peer.service" ||
  fail "drovick-peer.service does not start $prefix/bin/drovick-peer"
if [ -x "$bin/drovick" ]; then
  for file in share/applications/drovick.desktop share/metainfo/org.drovick.Drovick.metainfo.xml \
    share/icons/hicolor/scalable/apps/drovick.svg share/icons/hicolor/48x48/apps/drovick.png \
    share/drovick/help/index.html share/man/man1/drovick.1.gz; do
    [ -f "$root/$file" ] || fail "$file not installed with drovick"
  done
fi

# Nothing installed may look for libraries in the build folder.
if [ -n "$build" ]; then
  for elf in "$bin"/* "$installed_service" "$(dirname "$library")"/libhalvara*.so*; do
    if readelf -d "$elf" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
      fail "$elf still names the build folder: $(readelf -d "$elf" | grep -E 'R(UN)?PATH')"
    fi
  done
fi

# Another application builds against the library through pkg-config.
pc_dir=$(dirname "$library")/pkgconfig
cat >"$work/client.cpp" <<'CPP'
#include <halvara.h>
int main() { return Halvara_GetMyID() > 0 ? 0 : 1; }
CPP
# shellcheck disable=SC2046
c++ -o "$work/client" "$work/client.cpp" $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs halvara) \
  2>"$work/client.log" || fail "an application does not build against the installed halvara.pc"

# A free port on the loopback for the directory.
port=18080
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
directory="127.0.0.1:$port"

# A user's environment: its own home, session folder and address, and nothing else.
as_user() {
  local name=$1; shift
  # In a background subshell the program takes the subshell's place, so the
  # pid kept from $! is the program's own and the cleanup really ends it.
  local run=()
  [ "$BASHPID" != "$$" ] && run=(exec)
  "${run[@]}" env -i PATH=/usr/bin:/bin HOME="$work/$name/home" XDG_CONFIG_HOME="$work/$name/home/.config" \
    XDG_RUNTIME_DIR="$work/$name/runtime" HALVARA_ADDRESS="$(cat "$work/$name/address")" \
    HALVARA_DIRECTORY="$directory" HALVARA_PROBE_HOSTS="$directory" \
    ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" "$@"
}
make_user() {
  mkdir -p "$work/$1/home/.config" && mkdir -m 700 "$work/$1/runtime"
  echo "$2" >"$work/$1/address"
}
wait_for() { # wait_for SECONDS TEXT FILE
  local until=$((SECONDS + $1))
  while ! grep -qF "$2" "$3" 2>/dev/null; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.3
  done
}

env -i PATH=/usr/bin:/bin ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" \
  "$bin/halvdir" serve --listen "$directory" --db "$work/directory.db" >"$work/halvdir.log" 2>&1 &
pids+=($!)
until=$((SECONDS + 20))
until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
  [ $SECONDS -lt $until ] || fail "the installed halvdir does not answer on $directory"
  sleep 0.3
done

make_user ada 127.0.0.82
make_user bo 127.0.0.83
for name in ada bo; do
  echo "secret-$name" | as_user "$name" "$bin/halvara" register "${name^}" "$name@example.org" \
    >"$work/$name-register.log" 2>&1 || fail "$name cannot register"
  grep -qE '^ID	[1-9][0-9]*$' "$work/$name-register.log" || fail "$name's register printed no ID"
done

mkdir -p "$work/share/music"
echo "hello from ada" >"$work/share/hello.txt"
as_user ada "$bin/drovick-peer" share "$work/share" >"$work/ada-share.log" 2>&1 || fail "share"
as_user ada "$bin/drovick-peer" serve >"$work/ada-serve.log" 2>&1 &
pids+=($!)
wait_for 45 "the presence service answered" "$work/ada-serve.log" ||
  fail "the installed drovick-peer serve got no answer from the presence service"
wait_for 15 "NFSServer listening on" "$work/ada-serve.log" || fail "no file server"

# Bo makes Ada a friend, finds her address through his own presence service,
# then lists her share.
as_user bo "$bin/halvara" add ada@example.org >"$work/bo-add.log" 2>&1 </dev/null ||
  fail "bo cannot add ada as a friend"
listed=0
until=$((SECONDS + 30))
while [ $SECONDS -lt $until ]; do
  if as_user bo "$bin/drovick-peer" ls ada@example.org "$work/share" >"$work/bo-ls.log" 2>&1 &&
    grep -q "^hello.txt	15	" "$work/bo-ls.log"; then
    listed=1
    break
  fi
  sleep 1
done
[ "$listed" = 1 ] || fail "bo cannot list ada's share"
grep -q "^music	-	folder	" "$work/bo-ls.log" || fail "the listing lacks the folder music"

# The services that answered are the installed program, one per user.
[ -n "$(service_pids "$work/ada")" ] || fail "the installed halvserve does not run for ada"
echo "installed programs: registered, served and listed from $root"
