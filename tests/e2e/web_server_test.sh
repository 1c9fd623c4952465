#!/usr/bin/env bash
# The web player's server (scripts/serve_web.py): it serves its folder, says how
# to stop it, and a port in use is one line, not a traceback.
#
# usage: web_server_test.sh SERVE_WEB_PY
set -u
serve=$1
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL [web_server]: $*" >&2; exit 1; }

echo "the page" >"$work/index.html"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 "$serve" "$port" "$work" >"$work/out" 2>"$work/err" &
server=$!
for _ in $(seq 50); do grep -q 'web player' "$work/out" && break; sleep 0.1; done
grep -q "http://127.0.0.1:$port/" "$work/out" || fail "no address printed: $(cat "$work/out" "$work/err")"
grep -q "kill $server" "$work/out" || fail "does not say how to stop it in the background: $(cat "$work/out")"
page=$(python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1]).read().decode(), end="")' \
    "http://127.0.0.1:$port/index.html")
[ "$page" = "the page" ] || fail "the folder is not served"

# The same port again: one line naming the port and how to choose another, status 1.
python3 "$serve" "$port" "$work" >"$work/out2" 2>"$work/err2"
status=$?
[ $status -eq 1 ] || fail "a port in use: exit status $status"
[ "$(wc -l <"$work/err2")" -eq 1 ] || fail "a port in use: not one line: $(cat "$work/err2")"
grep -q "port $port" "$work/err2" || fail "the error does not name the port: $(cat "$work/err2")"
grep -q "PORT=" "$work/err2" || fail "the error does not say how to choose another: $(cat "$work/err2")"
echo "PASS [web_server]"
