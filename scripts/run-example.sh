#!/usr/bin/env bash
# Sets up the machine, builds the program, starts the stand-in of the listing site on
# 127.0.0.1 (examples/site/site.py: plain HTTP for the listing pages, HTTPS with a throw-away
# certificate authority for the login), and runs the main job as a user meets it: tamvirel
# signs in with the stored credentials, downloads two listing pages, converts them, and the
# SQL files are printed, then a few rows of the listings database the run wrote. Everything
# lives in a throw-away data folder.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD_DIR:-build/release}
bash scripts/build-program.sh "$BUILD"

WORK=$(mktemp -d)
SITE_PID=""
cleanup() {
  if [ -n "$SITE_PID" ]; then kill "$SITE_PID" 2>/dev/null || true; wait "$SITE_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

python3 examples/site/site.py --state "$WORK/site" --user tamara --password 'tajné heslo&1' &
SITE_PID=$!
for _ in $(seq 100); do [ -f "$WORK/site/ready" ] && break; sleep 0.1; done
[ -f "$WORK/site/ready" ] || { echo "the stand-in site did not start" >&2; exit 1; }
read -r HTTP_PORT HTTPS_PORT < "$WORK/site/ready"

# The settings a user has after signing in once in the window: the site's address and the
# credentials (password scrambled under the user name), but no fresh session.
mkdir -p "$WORK/data/tamvirel/tmp"
python3 - "$WORK/data/tamvirel/rovkast.ini" "$HTTP_PORT" "$HTTPS_PORT" <<'PY'
import sys
path, http_port, https_port = sys.argv[1:]
user, password = "tamara".encode("cp1250"), "tajné heslo&1".encode("cp1250")
key = user
while len(key) < len(password):
    key += key
scrambled = "".join("%02X" % (p ^ k) for p, k in zip(password, key))
with open(path, "w", newline="\r\n") as f:
    f.write("[User]\nUSER=tamara\nPWD=%s\n[Site]\nHost=localhost\nHttpPort=%s\nHttpsPort=%s\n"
            % (scrambled, http_port, https_port))
PY
chmod 600 "$WORK/data/tamvirel/rovkast.ini"

# The pause between requests that a real site is owed (a second by default) is shortened for
# the stand-in on this machine.
echo "+ tamvirel --delay 200 GC1TAMV GC2TAMV   (site on localhost:$HTTP_PORT, login on localhost:$HTTPS_PORT)" >&2
SSL_CERT_FILE="$WORK/site/ca.pem" XDG_DATA_HOME="$WORK/data" "$BUILD/tamvirel" --delay 200 GC1TAMV GC2TAMV
for code in GC1TAMV GC2TAMV; do
  echo "--- tmp/$code.sql" >&2
  cat "$WORK/data/tamvirel/tmp/$code.sql"
done
echo "--- listings.db: the caches and their waypoints" >&2
sqlite3 -header -column "$WORK/data/tamvirel/listings.db" \
  "SELECT Code, Names, Latitude, Longitude FROM geocaches ORDER BY Code;" \
  "SELECT GeocacheCode, Code, Name, Latitude, Longitude FROM AdditionalWaypoints ORDER BY GeocacheCode, Code;"
