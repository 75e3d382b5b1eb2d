#!/usr/bin/env bash
# Benchmark of a whole update (not a test): a package of about 30 MB served by nginx on loopback,
# KarUpdt.exe under Wine from the press of the start button to the completion dialog, split into
# download, expansion and installation; beside it curl fetches the same 19 files from the same
# server in the same run, once by one process for all of them and once by a process per file.
# Then the same update and the one curl process again through a relay that behaves like a
# wide-area line (tests/e2e/wan-relay.py: 10 ms each way, 100 Mbit/s shared, a round trip more for
# each new connection), the relay standing where the proxy stands.
#
#   bash tests/e2e/bench-update.sh [RUNS]      (default 3 runs; prints each and the medians)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
runs=${1:-3}

. scripts/windows-arch.sh
cmake --preset "$karupdt_preset" >/dev/null
cmake --build --preset "$karupdt_preset" --target KarUpdt karemain_1520 karemain_1600 regsvr32 unlha32 version_windres \
  karupdt_bench_update karupdt_bench_sha256 robot_window_hook >/dev/null

export WINEPREFIX="$root/build/$karupdt_preset/wineprefix"
. scripts/wine-env.sh
bin="$root/build/$karupdt_preset/bin"
work="$root/build/bench-update"
rm -rf "$work"
mkdir -p "$work"
scripts/wine-prefix.sh "$WINEPREFIX" >/dev/null
python3 scripts/make-package.py --bin "$bin" --out "$work/package" --scale 6100000
port=$(scripts/nginx-server.sh free-port)
scripts/nginx-server.sh start "$work/server" "$work/package" "$port" >/dev/null
. scripts/xvfb.sh
relay_port=$(scripts/nginx-server.sh free-port)
python3 tests/e2e/wan-relay.py "$relay_port" "$port" --delay-ms 10 --rate-mbit 100 > "$work/relay.out" &
relay_pid=$!
trap 'scripts/nginx-server.sh stop "$work/server"; kill $relay_pid ${karupdt_xvfb_pid:-0} 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q ready "$work/relay.out" 2>/dev/null && break; sleep 0.1; done

# The 19 files in download order: the first column of the package's manifest.
mapfile -t names < <(awk '!/^#/ && NF { print $1 }' package-components.txt)
bytes=$(cat "$work"/package/karedona/* | wc -c)
echo "package: ${#names[@]} files, $bytes bytes; server 127.0.0.1:$port"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(wine --version)"

# curl, one process per file (one connection each, as the updater opens them).
curl_ms() {
  local start end
  start=$(date +%s%N)
  for name in "${names[@]}"; do
    curl -s -o "$work/curl/$name" -x "http://127.0.0.1:$port" "http://update.talvern.example/karedona/$name"
  done
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}

# curl, one process fetching the same files in the same order (curl -o A URL_A -o B URL_B ...)
# through the proxy on PORT: the peer a user would compare with.
curl_one_ms() {
  local start end args=() name
  for name in "${names[@]}"; do args+=(-o "$work/curl/$name" "http://update.talvern.example/karedona/$name"); done
  start=$(date +%s%N)
  curl -s -x "http://127.0.0.1:$1" "${args[@]}"
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}

# A whole update with the proxy on PORT: prints download_ms=... expansion_ms=... and so on.
update_ms() {
  wineserver -k 2>/dev/null || true
  scripts/demo-installation.sh "$WINEPREFIX" "$bin"
  printf 'PROXYIP=127.0.0.1\r\nPROXYPORT=%s\r\n' "$1" > "$WINEPREFIX/drive_c/TALVERN/KAREDONA/DOWNLOAD.INI"
  rm -rf "$WINEPREFIX/drive_c/Program Files (x86)/imagekit"[56] "$WINEPREFIX/drive_c/Program Files/imagekit"[56]
  scripts/wine-run.sh "$bin/karupdt_bench_update.exe" | tr -d '\r'
}

check_curl() {
  for name in "${names[@]}"; do cmp -s "$work/curl/$name" "$work/package/karedona/$name" || echo "curl: $name differs" >&2; done
  rm -rf "$work/curl"; mkdir -p "$work/curl"
}

results=()
rm -rf "$work/curl"; mkdir -p "$work/curl"
for run in $(seq "$runs"); do
  line=$(update_ms "$port")
  curl=$(curl_ms); check_curl
  curl_one=$(curl_one_ms "$port"); check_curl
  wan=$(update_ms "$relay_port" | sed 's/\([a-z_]*\)=/wan_\1=/g')
  wan_curl=$(curl_one_ms "$relay_port"); check_curl
  row="$line curl_ms=$curl curl_one_ms=$curl_one $wan wan_curl_one_ms=$wan_curl"
  echo "run $run: $row"
  results+=("$row")
done

printf '%s\n' "${results[@]}" | python3 -c '
import sys, statistics
rows = [dict(kv.split("=") for kv in line.split()) for line in sys.stdin if line.strip()]
med = {k: statistics.median(int(r[k]) for r in rows) for k in rows[0]}
def spread(k):
    values = sorted(int(r[k]) for r in rows)
    return "%d ms (%d to %d)" % (statistics.median(values), values[0], values[-1])
print("median (range): download %s, expansion %s, installation %s, total %s" %
      (spread("download_ms"), spread("expansion_ms"), spread("installation_ms"), spread("total_ms")))
print("curl, one process: %s; curl, a process per file: %s" % (spread("curl_one_ms"), spread("curl_ms")))
def ratio(a, b):
    values = sorted(int(r[a]) / int(r[b]) for r in rows)
    return "%.2f (%.2f to %.2f)" % (med[a] / med[b], values[0], values[-1])
print("download / curl one process: %s" % ratio("download_ms", "curl_one_ms"))
print("download / curl per file: %.2f" % (med["download_ms"] / med["curl_ms"]))
print("over the wide-area relay: download %s, curl one process %s" % (spread("wan_download_ms"), spread("wan_curl_one_ms")))
print("wide-area download / curl one process: %s" % ratio("wan_download_ms", "wan_curl_one_ms"))
'
# What a build with a pinned package adds: the SHA-256 of every file, as the check reads them.
scripts/wine-run.sh "$bin/karupdt_bench_sha256.exe" "$(winepath -w "$work/package/karedona")" 5 | tr -d '\r'
