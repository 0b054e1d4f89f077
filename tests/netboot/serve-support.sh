# Shared by the shell scenarios that run tamsor-serve: a work folder that
# goes away on exit with the server started here (stopped by its process
# id, never by name), and start_server, which lets the system pick every
# port and reads them from the ports line.
#
#   . serve-support.sh TAMSOR-SERVE WORK-PREFIX
#   start_server ARGS...   sets server_pid, bsdp_port, tftp_port, http_port
#   stop_server

serve=$1
work=$(mktemp -d "/tmp/$2.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

start_server() {
  # The last server's output goes first: the new one's redirection may
  # happen only after the loop below has looked.
  rm -f "$work/serve.out"
  "$serve" --bsdp-port 0 "$@" >"$work/serve.out" 2>"$work/serve.err" &
  server_pid=$!
  for _ in $(seq 1 300); do
    grep -q 'http=' "$work/serve.out" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  bsdp_port=$(sed -n 's/.*bsdp=\([0-9]*\).*/\1/p' "$work/serve.out" | head -n 1)
  tftp_port=$(sed -n 's/.*tftp=\([0-9]*\).*/\1/p' "$work/serve.out" | head -n 1)
  http_port=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' "$work/serve.out" | head -n 1)
  [ -n "$http_port" ]
}

stop_server() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
