#!/usr/bin/env bash
# A Squid on loopback that asks for a name and password (Basic), for the whole-program tests:
#   squid-proxy.sh start STATE_DIR PORT USER PASSWORD
#   squid-proxy.sh stop STATE_DIR
# It caches nothing and lets only the one user through. Where Squid is missing or cannot start,
# "start" writes the reason to STATE_DIR/unavailable and succeeds, so that the tests that need it
# skip with that reason.
set -u
cmd=${1:?start|stop}; state=${2:?STATE_DIR}
mkdir -p "$state"; state=$(cd "$state" && pwd)
stop() {
  if [ -f "$state/squid.pid" ]; then
    pid=$(cat "$state/squid.pid")
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    rm -f "$state/squid.pid"
  fi
}
case $cmd in
start)
  port=${3:?PORT}; user=${4:?USER}; password=${5:?PASSWORD}
  stop
  rm -f "$state/unavailable" "$state/access.log"
  helper=/usr/lib/squid/basic_ncsa_auth
  if ! command -v squid >/dev/null || [ ! -x "$helper" ] || ! command -v htpasswd >/dev/null; then
    echo "squid, its basic_ncsa_auth helper or htpasswd (apache2-utils) is not installed" >"$state/unavailable"
    cat "$state/unavailable"; exit 0
  fi
  htpasswd -b -c "$state/passwd" "$user" "$password" 2>/dev/null
  cat >"$state/squid.conf" <<CONF
http_port 127.0.0.1:$port
pid_filename $state/squid.pid
access_log stdio:$state/access.log
cache_log $state/cache.log
cache_store_log none
coredump_dir $state
cache deny all
cache_mem 8 MB
shutdown_lifetime 0 seconds
auth_param basic program $helper $state/passwd
auth_param basic realm KarUpdt test proxy
acl users proxy_auth REQUIRED
http_access allow users
http_access deny all
CONF
  # Squid drops root for its own user, which must reach these files.
  if id proxy >/dev/null 2>&1; then chown -R proxy "$state"; fi
  if ! squid -f "$state/squid.conf" 2>"$state/start.err"; then
    { echo "squid did not start:"; cat "$state/start.err"; } >"$state/unavailable"
    cat "$state/unavailable"; exit 0
  fi
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "squid on 127.0.0.1:$port"; exit 0; fi
    sleep 0.1
  done
  { echo "squid did not listen on 127.0.0.1:$port:"; tail -5 "$state/cache.log" 2>/dev/null; } >"$state/unavailable"
  cat "$state/unavailable"; exit 0 ;;
stop) stop ;;
*) echo "usage: $0 start|stop STATE_DIR ..." >&2; exit 2 ;;
esac
