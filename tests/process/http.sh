#!/bin/sh
# HTTP: starts http_server.py on 127.0.0.1 (plain HTTP, HTTPS with a self-signed certificate made
# here, and a port that refuses connections), runs the transcript http.ktr against it and stops the
# server. The transcript finds the three base URLs in KEL_TEST_HTTP, KEL_TEST_HTTPS and
# KEL_TEST_CLOSED. Then an interrupt halts a request that waits for its answer. Every wait is
# bounded: a server that does not come up fails the test.
# Usage: http.sh <kel> <transcript runner> <http.ktr>
kel=$(realpath "$1")
runner=$(realpath "$2")
ktr=$(realpath "$3")
here=$(dirname "$(realpath "$0")")
dir=$(mktemp -d)
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() { echo "FAIL: $*"; exit 1; }

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$dir/key.pem" -out "$dir/cert.pem" >"$dir/openssl.log" 2>&1 ||
  { cat "$dir/openssl.log"; fail "cannot make a certificate"; }

python3 "$here/http_server.py" "$dir/ready" "$dir/cert.pem" "$dir/key.pem" 2>"$dir/server.log" &
server=$!
tries=0
while [ ! -s "$dir/ready" ]; do
  kill -0 "$server" 2>/dev/null || { cat "$dir/server.log"; fail "the server ended"; }
  tries=$((tries + 1))
  [ "$tries" -le 600 ] || fail "the server did not start"
  sleep 0.1
done
read -r http https closed <"$dir/ready"

# the requests go straight to 127.0.0.1, never through a proxy of the environment
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy='*'
export KEL_TEST_HTTP="http://127.0.0.1:$http/"
export KEL_TEST_HTTPS="https://127.0.0.1:$https/"
export KEL_TEST_CLOSED="http://127.0.0.1:$closed/"
"$runner" --kel "$kel" "$ktr" || { cat "$dir/server.log"; fail "transcript"; }

# Ctrl-C while a request waits for its answer halts the evaluation, and the console goes on. The
# server writes ready.hang once the request has arrived; only then is the interrupt sent.
printf 'read %shang\nprint "after"\n' "$KEL_TEST_HTTP" | "$kel" --cli >"$dir/halt.out" 2>&1 &
console=$!
tries=0
while [ ! -e "$dir/ready.hang" ]; do
  tries=$((tries + 1))
  [ "$tries" -le 600 ] || { kill "$console"; fail "the hanging request did not arrive"; }
  sleep 0.1
done
kill -INT "$console"
tries=0
while kill -0 "$console" 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -le 600 ] || { kill -KILL "$console"; fail "the console did not end after the interrupt"; }
  sleep 0.1
done
wait "$console" || fail "the console ended with status $?"
grep -q '^>> (halted)$' "$dir/halt.out" && grep -q '^>> after$' "$dir/halt.out" ||
  { cat "$dir/halt.out"; fail "an interrupted request did not halt"; }
echo "http: ok"
