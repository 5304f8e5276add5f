#!/usr/bin/env bash
# Load test of kivopro-service on loopback: 200 concurrent clients for a minute (90 signing in,
# 90 listing transactions, 20 removing the background of a small image, all with one account),
# then the account's credits and transactions are checked to the unit.
#
#   bash bench/service-load.sh [SECONDS]      build folder: $KIVO_BUILD_DIR or build/
#
# Needs wrk and the prepared model. Targets: no answer other than 200, 402 or 503 with
# Retry-After; p99 of sign-ins and transaction lists under 100 ms; credits taken = removal
# transactions recorded = cut-outs sent.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${KIVO_BUILD_DIR:-$root/build}"
seconds="${1:-60}"
credits=20
cmake --build "$build" --target kivopro-service >/dev/null

work=$(mktemp -d)
service_pid=""
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/accounts.json" <<JSON
{"accounts": [{"id": 1, "name": "Load", "email": "load@example.org", "password": "pw", "api_key": "load-key", "credits": $credits}]}
JSON
convert "$root/tests/data/coffee.jpg" -resize 96x64 "$work/small.png"

# Every client comes from 127.0.0.1 here: the per-client connection limit would stand for all of them.
"$build/service/kivopro-service" --port 0 --data "$work/data" --accounts "$work/accounts.json" \
  --max-connections-per-client 0 >"$work/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 600); do grep -q "segmentation model ready" "$work/service.log" && grep -q "listening on" "$work/service.log" && break; sleep 0.1; done
grep -q "segmentation model ready" "$work/service.log" || { cat "$work/service.log"; exit 1; }
url=$(sed -n 's/.*listening on \(http:[^ ]*\).*/\1/p' "$work/service.log")

account_state() {
  python3 - "$url" <<'PY'
import json, sys, urllib.request
url = sys.argv[1]
login = urllib.request.Request(url + "/api/app/login", data=b'{"api_key":"load-key","app_id":1}', headers={"Content-Type": "application/json"})
credits = json.load(urllib.request.urlopen(login))["credits"]
listing = json.load(urllib.request.urlopen(url + "/api/transactions?page=1&limit=20&app_id=1&api_key=load-key"))
print(credits, listing["pagination"]["total_count"])
PY
}
read -r credits_before transactions_before < <(account_state)
echo "service pid $service_pid at $url; load before: $(cut -d' ' -f1-3 /proc/loadavg)"

script="$root/bench/service-load.lua"
wrk -t1 -c90 -d"${seconds}s" --latency -s "$script" "$url" -- signin load-key >"$work/signin.txt" 2>&1 &
signin=$!
wrk -t1 -c90 -d"${seconds}s" --latency -s "$script" "$url" -- transactions load-key >"$work/transactions.txt" 2>&1 &
listing=$!
wrk -t1 -c20 -d"${seconds}s" --timeout 60s --latency -s "$script" "$url" -- removal load-key "$work/small.png" >"$work/removal.txt" 2>&1 &
removal=$!
wait $signin $listing $removal
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

# Removals still in the model's queue finish (or are dropped unanswered) before the count.
previous=""
for _ in $(seq 60); do
  state=$(account_state)
  [ "$state" = "$previous" ] && break
  previous=$state
  sleep 2
done
read -r credits_after transactions_after <<<"$state"

python3 - "$work" "$credits_before" "$credits_after" "$transactions_before" "$transactions_after" <<'PY'
import re, sys
work, credits_before, credits_after, tx_before, tx_after = sys.argv[1], *map(int, sys.argv[2:])
# Answers the server finished sending; a removal that was still running when wrk stopped is
# sent (and counted here) but never read by wrk.
sent = len(re.findall(r"POST /v1\.0\.1/remove_background\?site_url=kivo-pro-macos 200 ", open(f"{work}/service.log").read()))
failed = []
def check(name, ok, detail):
    print(("PASS " if ok else "FAIL ") + name + ": " + detail)
    if not ok: failed.append(name)
ok_statuses = {"signin": {200}, "transactions": {200}, "removal": {200, 402, 503}}
removed = 0
for kind in ("signin", "transactions", "removal"):
    text = open(f"{work}/{kind}.txt").read()
    statuses = {int(s): int(n) for s, n in re.findall(r"^status (\d+) (\d+)$", text, re.M)}
    p50, p90, p99, top = map(float, re.search(r"latency-ms p50 (\S+) p90 (\S+) p99 (\S+) max (\S+)", text).groups())
    missing = int(re.search(r"missing-retry-after (\d+)", text).group(1))
    errors = int(re.search(r"socket-errors (\d+)", text).group(1))
    rate = re.search(r"Requests/sec:\s+(\S+)", text).group(1)
    print(f"{kind}: {statuses}, {rate} requests/s, latency p50 {p50:.1f} p90 {p90:.1f} p99 {p99:.1f} max {top:.1f} ms, socket errors {errors}")
    check(f"{kind}: only {sorted(ok_statuses[kind])}", set(statuses) <= ok_statuses[kind] and missing == 0 and errors == 0,
          f"{statuses}, 503 without Retry-After {missing}, socket errors {errors}")
    if kind != "removal":
        check(f"{kind}: p99 under 100 ms while removals run", p99 < 100, f"{p99:.1f} ms")
    else:
        removed = statuses.get(200, 0)
taken, recorded = credits_before - credits_after, tx_after - tx_before
check("credits taken = removal transactions recorded = cut-outs sent", taken == recorded == sent and removed <= sent,
      f"credits {credits_before} -> {credits_after} ({taken} taken), {recorded} transactions recorded, {sent} cut-outs sent, "
      f"{removed} of them read by wrk before it stopped")
sys.exit(1 if failed else 0)
PY
