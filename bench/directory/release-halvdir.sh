# Sourced by the directory benchmarks: sets here, root, seconds and users, and
# HALVDIR to a Release halvdir, built in its own folder (HALVDIR_BUILD, by
# default build-h4-release) unless HALVDIR names a binary already.
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-10}
users=${HALVDIR_BENCH_USERS:-1000}
export HALVDIR_BENCH_USERS=$users

if [ -z "${HALVDIR:-}" ]; then
    build=${HALVDIR_BUILD:-$root/build-h4-release}
    if [ ! -f "$build/build.ninja" ]; then
        cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DHALVARA_TESTS=OFF -DHALVARA_BENCH=OFF -DHALVARA_GUI=OFF >/dev/null
    fi
    ninja -C "$build" -j2 halvdir >/dev/null
    HALVDIR=$build/bin/halvdir
fi
