#!/bin/bash
# Serves the page that scripts/build-web.sh built, on 127.0.0.1 only: the
# page is static, and everything it does, it does in the browser.
#   scripts/serve-web.sh [PORT]     (default 8016; WEB_DIR: another folder than build/web)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${WEB_DIR:-build/web}
port=${1:-8016}
[ -f "$dir/index.html" ] || { echo "serve-web: no page in $dir: run scripts/build-web.sh first" >&2; exit 1; }
echo "serve-web: http://127.0.0.1:$port/ (Ctrl-C stops it)"
exec /usr/bin/python3 -m http.server --bind 127.0.0.1 --directory "$dir" "$port"
