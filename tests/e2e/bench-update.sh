#!/usr/bin/env bash
# Benchmark of a whole update (not a test): a package of about 30 MB served by nginx on loopback,
# KarUpdt.exe under Wine from the press of the start button to the completion dialog, split into
# download, expansion and installation; beside it curl fetches the same 19 files from the same
# server in the same run, once by one process for all of them and once by a process per file.
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
trap 'scripts/nginx-server.sh stop "$work/server"; kill ${karupdt_xvfb_pid:-0} 2>/dev/null || true' EXIT

names=(kar160.ex_ DLKR_DL.ex_ karstang.di_ Zoomhint.tx_ cellmapa.da_ cellmapb.da_ vornlib.dl_ FindUpd.ex_
       tvdialog.dl_ plxShow.ex_ GroupList.Ms_ GroupMst.in_ KarScan.ex_ KarScanPaste.ex_ KarScan.de_ SCANABORT.EX_
       Regsvr32.ex_ Imgkit5.lzh Imgkit6.lzh)
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

# curl, one process fetching the same files in the same order (curl -o A URL_A -o B URL_B ...):
# the peer a user would compare with.
curl_one_ms() {
  local start end args=() name
  for name in "${names[@]}"; do args+=(-o "$work/curl/$name" "http://update.talvern.example/karedona/$name"); done
  start=$(date +%s%N)
  curl -s -x "http://127.0.0.1:$port" "${args[@]}"
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}

results=()
for run in $(seq "$runs"); do
  wineserver -k 2>/dev/null || true
  scripts/demo-installation.sh "$WINEPREFIX" "$bin"
  printf 'PROXYIP=127.0.0.1\r\nPROXYPORT=%s\r\n' "$port" > "$WINEPREFIX/drive_c/TALVERN/KAREDONA/DOWNLOAD.INI"
  rm -rf "$WINEPREFIX/drive_c/Program Files (x86)/imagekit"[56] "$WINEPREFIX/drive_c/Program Files/imagekit"[56]
  line=$(scripts/wine-run.sh "$bin/karupdt_bench_update.exe" | tr -d '\r')
  rm -rf "$work/curl"; mkdir -p "$work/curl"
  curl=$(curl_ms)
  for name in "${names[@]}"; do cmp -s "$work/curl/$name" "$work/package/karedona/$name" || echo "curl: $name differs"; done
  rm -rf "$work/curl"; mkdir -p "$work/curl"
  curl_one=$(curl_one_ms)
  for name in "${names[@]}"; do cmp -s "$work/curl/$name" "$work/package/karedona/$name" || echo "curl: $name differs"; done
  echo "run $run: $line curl_ms=$curl curl_one_ms=$curl_one"
  results+=("$line curl_ms=$curl curl_one_ms=$curl_one")
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
print("download / curl one process: %.2f (runs: %s)" % (med["download_ms"] / med["curl_one_ms"],
      " ".join("%.2f" % (int(r["download_ms"]) / int(r["curl_one_ms"])) for r in rows)))
print("download / curl per file: %.2f" % (med["download_ms"] / med["curl_ms"]))
'
# What a build with a pinned package adds: the SHA-256 of every file, as the check reads them.
scripts/wine-run.sh "$bin/karupdt_bench_sha256.exe" "$(winepath -w "$work/package/karedona")" 5 | tr -d '\r'
