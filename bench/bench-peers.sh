# Shared by the HTTP benchmarks (sourced, not run): a free loopback port,
# nginx as the peer (one worker on loopback, its own configuration under a
# folder of the caller's) and the median of a list of figures.
#
# Callers set NGINX (the program) and keep the process ids they start in
# the array PIDS, which their exit trap stops.

bench_free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Starts nginx serving the folder $2 with sendfile $3 (on or off); its files
# go to the folder $1. Sets NGINX_PORT once /CdRom0.dmg answers.
bench_start_nginx() {
  local dir=$1 root=$2 sendfile=$3 port
  port=$(bench_free_port)
  mkdir -p "$dir/tmp"
  cat >"$dir/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile $sendfile;
  tcp_nopush off;
  tcp_nodelay on;
  keepalive_requests 100000000;
  keepalive_timeout 300s;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $root;
    location / { default_type application/octet-stream; }
  }
}
EOF
  "$NGINX" -e "$dir/error.log" -p "$dir" -c "$dir/nginx.conf" &
  PIDS+=($!)
  NGINX_PORT=$port
  for _ in $(seq 100); do
    curl -s -o /dev/null -r 0-0 "http://127.0.0.1:$port/CdRom0.dmg" && return 0
    sleep 0.05
  done
  echo "nginx did not start" >&2
  cat "$dir/error.log" >&2
  exit 1
}

bench_median() {
  tr ' ' '\n' | sed '/^$/d' | sort -g |
    awk '{v[NR] = $1} END{print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
