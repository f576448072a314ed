#!/usr/bin/env bash
# The bundled local update server: a static file server on 127.0.0.1 and a
# free port, serving the sample version files and packages.
#   serve.sh FOLDER      lays out the served files in FOLDER, starts the
#                        server in the background and prints its base URL;
#                        the server's pid is in FOLDER/server.pid
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
folder=$1
mkdir -p "$folder/www/soft" "$folder/www/packages"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
base="http://127.0.0.1:$port"
for template in "$here"/soft/*.txt.in; do
    name=$(basename "$template" .in)
    sed "s#@BASE@#$base#g" "$template" > "$folder/www/soft/$name"
done
cp "$here/packages/sample-update.sh" "$folder/www/packages/veltrin-marlo-2.0.1.sh"
cp "$here/packages/sample-update.sh" "$folder/www/packages/veltrin-zent-2.0.1.sh"

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
