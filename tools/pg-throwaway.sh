#!/usr/bin/env bash
# A throwaway PostgreSQL server in a folder of its own, for the tests and the benchmarks. It
# listens only on a Unix socket inside that folder. PostgreSQL refuses to run as root: as root,
# the server runs as the unprivileged user kivopro-pg (created when missing).
#
#   pg-throwaway.sh start DIR   starts it (DIR must not exist) and prints the database address
#   pg-throwaway.sh stop DIR    stops it and removes DIR
#   pg-throwaway.sh restart DIR restarts it (a fast shutdown: its connections are closed)
#   pg-throwaway.sh signal DIR SIG  sends SIG (STOP, CONT) to the server and its backends
#
# Exits with 3 when PostgreSQL is not installed (apt-get install postgresql).
set -euo pipefail
command=${1:?usage: pg-throwaway.sh start|stop|restart|signal DIR}
dir=${2:?usage: pg-throwaway.sh start|stop|restart|signal DIR}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "pg-throwaway: PostgreSQL is not installed" >&2
  exit 3
fi

owner=()
if [ "$(id -u)" -eq 0 ]; then
  id -u kivopro-pg >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin kivopro-pg
  owner=(runuser -u kivopro-pg --)
fi

case "$command" in
start)
  mkdir -p "$dir"
  [ ${#owner[@]} -eq 0 ] || chown kivopro-pg "$dir"
  chmod 700 "$dir"
  "${owner[@]}" "$bin/initdb" -D "$dir/data" -U kivopro -A trust -E UTF8 --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; exit 1; }
  "${owner[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
    -o "-k $dir -c listen_addresses='' -c max_connections=200" start >/dev/null ||
    { cat "$dir/server.log" >&2; exit 1; }
  "${owner[@]}" "$bin/createdb" -h "$dir" -U kivopro kivopro
  echo "postgresql://kivopro@/kivopro?host=$dir"
  ;;
stop)
  if [ -d "$dir/data" ]; then
    "${owner[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  ;;
restart)
  "${owner[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m fast -w -t 30 restart >/dev/null
  ;;
signal)
  postmaster=$(head -n 1 "$dir/data/postmaster.pid")
  # shellcheck disable=SC2046
  kill -"${3:?usage: pg-throwaway.sh signal DIR SIG}" "$postmaster" $(ps -o pid= --ppid "$postmaster")
  ;;
*)
  echo "usage: pg-throwaway.sh start|stop|restart|signal DIR" >&2
  exit 2
  ;;
esac
