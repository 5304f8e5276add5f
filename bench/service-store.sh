#!/usr/bin/env bash
# The service's store with a million transactions on one account, on SQLite and on a throwaway
# PostgreSQL server: listing a page and recording a removal, medians.
#
#   bash bench/service-store.sh [TRANSACTIONS]      build folder: $KIVO_BUILD_DIR or build/
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${KIVO_BUILD_DIR:-$root/build}"
count="${1:-1000000}"
cmake --build "$build" --target kivo_service_store_bench >/dev/null

work=$(mktemp -d)
chmod 711 "$work"
trap 'bash "$root/tools/pg-throwaway.sh" stop "$work/postgres" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

"$build/bench/kivo_service_store_bench" --database "$work/store.sqlite" --transactions "$count"
if address=$(bash "$root/tools/pg-throwaway.sh" start "$work/postgres"); then
  "$build/bench/kivo_service_store_bench" --database "$address" --transactions "$count"
else
  echo "bench: no PostgreSQL (apt-get install postgresql), SQLite only"
fi
