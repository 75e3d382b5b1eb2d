#!/usr/bin/env bash
# A static HTTP server on loopback for tests and the demo: Debian's nginx serving a folder, as an
# ordinary server and as a proxy alike (a request line with an absolute URL is answered from the
# same folder). The access log records each request line and the serial number of the connection
# that carried it, for tests that check what was fetched and how.
#
#   nginx-server.sh start STATE_DIR ROOT PORT [SLOW_PORT [RATE [PLAIN_PORT]]]
#     SLOW_PORT sends RATE (default 64k) a second after the first second's worth;
#     PLAIN_PORT answers without Content-Length (the body runs to the end of the chunked stream).
#   nginx-server.sh stop STATE_DIR
#   nginx-server.sh free-port                                      (prints a free port on 127.0.0.1)
set -euo pipefail
command=${1:?usage: nginx-server.sh start|stop|free-port ...}

case "$command" in
free-port)
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
  ;;
start)
  state=${2:?STATE_DIR}; root=${3:?ROOT}; port=${4:?PORT}; slow=${5:-}; rate=${6:-64k}; plain=${7:-}
  mkdir -p "$state/tmp"
  state=$(cd "$state" && pwd); root=$(cd "$root" && pwd)
  [ -f "$state/nginx.pid" ] && kill "$(cat "$state/nginx.pid")" 2>/dev/null && sleep 0.2 || true
  : > "$state/access.log"
  slow_server=
  if [ -n "$slow" ]; then
    slow_server="server { listen 127.0.0.1:$slow; root $root; limit_rate $rate; }"
  fi
  plain_server=
  if [ -n "$plain" ]; then
    # Server-side includes make nginx drop Content-Length and send the body chunked.
    plain_server="server { listen 127.0.0.1:$plain; root $root; ssi on; ssi_types *; }"
  fi
  cat > "$state/nginx.conf" <<CONF
user root;
worker_processes 1;
daemon on;
pid $state/nginx.pid;
error_log $state/error.log;
events { worker_connections 128; }
http {
  log_format requests '\$server_port "\$request" \$status \$body_bytes_sent "\$http_user_agent" "\$http_proxy_authorization" \$connection';
  access_log $state/access.log requests;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  server { listen 127.0.0.1:$port; root $root; }
  $slow_server
  $plain_server
}
CONF
  nginx -c "$state/nginx.conf" -p "$state"
  for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.1
  done
  echo "nginx serving $root on 127.0.0.1:$port${slow:+ (and slowly on $slow)}"
  ;;
stop)
  state=${2:?STATE_DIR}
  if [ -f "$state/nginx.pid" ]; then
    kill "$(cat "$state/nginx.pid")" 2>/dev/null || true
    rm -f "$state/nginx.pid"
  fi
  ;;
*)
  echo "usage: nginx-server.sh start|stop|free-port ..." >&2
  exit 2
  ;;
esac
