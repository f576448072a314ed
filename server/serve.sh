#!/usr/bin/env bash
# The bundled local update server: a static file server on 127.0.0.1 and a
# free port, serving the sample version files and packages.
#   serve.sh FOLDER      lays out the served files in FOLDER, starts the
#                        server in the background and prints its base URL;
#                        the server's pid is in FOLDER/server.pid
# The files are laid out by the vendor's publishing tool (tools/publish.sh).
# When KELVANE_DEMO_SECRET_KEY names a minisign secret key without a password,
# every file is signed with it; otherwise they are published unsigned, as an
# updater built without a signing key expects.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
folder=$1
mkdir -p "$folder/www"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
base="http://127.0.0.1:$port"
publish() {
    bash "$here/../tools/publish.sh" "$1" "$2" 2.0.1 "$here/packages/sample-update.sh" "$base/packages/$3" \
        "${KELVANE_DEMO_SECRET_KEY:-}" "$folder/www" >&2
}
publish veltrin_marlo.txt "Veltrin Marlo" veltrin-marlo-2.0.1.sh
publish veltrin_zent.txt "Veltrin Zent" veltrin-zent-2.0.1.sh

python3 -m http.server --bind 127.0.0.1 "$port" --directory "$folder/www" >"$folder/server.log" 2>&1 &
echo $! > "$folder/server.pid"
for _ in $(seq 1 50); do
    if python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null; then
        echo "$base"
        exit 0
    fi
    sleep 0.1
done
echo "the update server did not start; see $folder/server.log" >&2
exit 1
