#!/usr/bin/env bash
# Benchmark of the transfer component against curl, in the same run, from Debian's nginx on
# 127.0.0.1: a 200 MB file, and a set of 19 files of mixed sizes (about 60 MB). Each side fetches
# each group NX_BENCH_ROUNDS times (3 by default), alternating; the best time of each counts.
# Prints the ratios and the longest gap in message dispatching during the component's transfers.
# The first round is the cleanest comparison: later rounds replace the files of the round before
# (curl truncates them when it opens them; the component overwrites them in place).
#
#   bash tests/nx/bench.sh            (after cmake --build --preset mingw)
#
# Needs nginx (installed with apt-get when missing and run as root) and curl. Everything stays on
# loopback; nginx runs in the foreground with a configuration in a temp folder and is stopped at
# the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bench=${NX_BENCH:-$root/build/mingw/bin/nx_bench.exe}
export WINEPREFIX=${WINEPREFIX:-$root/build/mingw/wineprefix}
if [ ! -x /usr/sbin/nginx ] && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q nginx-light >/dev/null || true
fi
[ -x /usr/sbin/nginx ] || { echo "nginx is missing: apt-get install nginx-light" >&2; exit 1; }
[ -f "$bench" ] || { echo "$bench is missing: cmake --build --preset mingw" >&2; exit 1; }

# A private display for Wine (xvfb.sh sets an EXIT trap of its own; ours below replaces it and
# stops that display too).
. "$root/scripts/xvfb.sh"
work=$(mktemp -d /tmp/nxbench.XXXXXX)
chmod 755 "$work"   # nginx's worker runs as nobody
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  if [ -n "${karupdt_xvfb_pid:-}" ]; then kill "$karupdt_xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/curl" "$work/nx" "$work/logs"
head -c $((200 * 1024 * 1024)) /dev/urandom > "$work/www/big.bin"
sizes=(900 1500 4096 10000 33000 65536 100000 250000 512000 1000000 1500000 2000000 3000000 4000000
       5000000 7000000 9000000 12000000 15000000)
set_names=()
for i in "${!sizes[@]}"; do
  head -c "${sizes[$i]}" /dev/urandom > "$work/www/f$i.bin"
  set_names+=("f$i.bin")
done

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/logs;
  proxy_temp_path $work/logs;
  fastcgi_temp_path $work/logs;
  uwsgi_temp_path $work/logs;
  scgi_temp_path $work/logs;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    default_type application/octet-stream;
  }
}
EOF
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work" >"$work/logs/nginx.out" 2>&1 &
nginx_pid=$!
for _ in $(seq 50); do
  curl -s -o /dev/null "http://127.0.0.1:$port/f0.bin" && break
  sleep 0.1
done

base="http://127.0.0.1:$port"
set_urls=$(printf "$base/%s," "${set_names[@]}"); set_urls=${set_urls%,}

# curl: the sum of the transfer times of one process fetching the group, each request with
# "Connection: close" as the component sends it.
curl_group() {
  local args=() name
  for name in "$@"; do args+=("$base/$name" -o "$work/curl/$name"); done
  curl -s -H 'Connection: close' -w '%{time_total}\n' "${args[@]}" | awk '{ t += $1 } END { printf "%.3f\n", t }'
}

best() { printf '%s\n' "$@" | sort -g | head -1; }
rounds=${NX_BENCH_ROUNDS:-3}
curl_big=(); curl_set=(); nx_big=(); nx_set=(); gaps=(); p99s=(); delays=()
for round in $(seq "$rounds"); do
  curl_big+=("$(curl_group big.bin)")
  curl_set+=("$(curl_group "${set_names[@]}")")
  out=$("$root/scripts/wine-run.sh" "$bench" "Z:${work//\//\\}\\nx" "big=$base/big.bin" "set=$set_urls" 2>"$work/logs/bench.err" | tr -d '\r' || true)
  grep 'http://' "$work/logs/bench.err" | head -5 >&2 || true
  nx_big+=("$(sed -n 's/^big seconds=\([0-9.]*\).*/\1/p' <<<"$out")")
  nx_set+=("$(sed -n 's/^set seconds=\([0-9.]*\).*/\1/p' <<<"$out")")
  gaps+=("$(sed -n 's/^max_dispatch_gap_ms=\([0-9.]*\).*/\1/p' <<<"$out")")
  p99s+=("$(sed -n 's/.*p99_dispatch_gap_ms=\([0-9.]*\).*/\1/p' <<<"$out")")
  delays+=("$(sed -n 's/^max_post_delay_ms=\([0-9.]*\).*/\1/p' <<<"$out")")
  echo "round $round: curl big ${curl_big[-1]} s, set ${curl_set[-1]} s; TnxHTTP big ${nx_big[-1]} s, set ${nx_set[-1]} s;" \
       "longest dispatch gap ${gaps[-1]} ms (99th percentile ${p99s[-1]} ms), longest posted-message delay ${delays[-1]} ms"
done
cmp "$work/www/big.bin" "$work/nx/big.bin" && for n in "${set_names[@]}"; do cmp "$work/www/$n" "$work/nx/$n"; done
echo "files fetched by TnxHTTP are identical to the served ones"

cb=$(best "${curl_big[@]}"); cs=$(best "${curl_set[@]}"); nb=$(best "${nx_big[@]}"); ns=$(best "${nx_set[@]}")
gap=$(printf '%s\n' "${gaps[@]}" | sort -g | tail -1)
p99=$(printf '%s\n' "${p99s[@]}" | sort -g | tail -1)
delay=$(printf '%s\n' "${delays[@]}" | sort -g | tail -1)
echo "200 MB file: curl $cb s, TnxHTTP $nb s, ratio $(awk -v a="$nb" -v b="$cb" 'BEGIN { printf "%.2f", a / b }')"
echo "19 files:    curl $cs s, TnxHTTP $ns s, ratio $(awk -v a="$ns" -v b="$cs" 'BEGIN { printf "%.2f", a / b }')"
echo "longest gap in message dispatching during TnxHTTP transfers: $gap ms, 99th percentile $p99 ms (10 ms timer; the worst round)"
echo "longest delay of a message posted from another thread: $delay ms (over all rounds)"
