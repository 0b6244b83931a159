# Shared by the scripts in this folder; source it, do not run it.
# shellcheck shell=bash

KQZ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# kqz_build PRESET [TARGET...]: configure once, then build.
kqz_build() {
  local preset=$1
  shift
  local dir="$KQZ_ROOT/build/$preset"
  if [[ ! -f "$dir/build.ninja" ]]; then
    cmake --preset "$preset" -S "$KQZ_ROOT" >/dev/null
  fi
  cmake --build "$dir" --parallel "$(nproc)" ${1:+--target "$@"}
}

# kqz_start_postgres DIR PORT: a throw-away PostgreSQL cluster on loopback.
# Prints its URL. The caller stops it with kqz_stop_postgres DIR.
kqz_start_postgres() {
  local dir=$1 port=$2
  local bin
  bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
  mkdir -p "$dir"
  local run=()
  if ((EUID == 0)); then
    chown postgres: "$dir"
    run=(runuser -u postgres --)
  fi
  # The postgres user may not enter the caller's folder: start from /.
  (cd / && "${run[@]}" "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C.UTF-8 >/dev/null)
  (cd / && "${run[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w \
    -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null)
  echo "postgresql://postgres@127.0.0.1:$port/postgres"
}

kqz_stop_postgres() {
  local dir=$1
  local bin
  bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
  local run=()
  if ((EUID == 0)); then
    run=(runuser -u postgres --)
  fi
  (cd / && "${run[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast stop >/dev/null 2>&1) || true
}
