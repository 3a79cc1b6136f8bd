#!/usr/bin/env bash
# Requests per second of nginx alone, with vell (bench/config.ini: every built-in rule) and with
# ModSecurity + the OWASP CRS, measured with wrk in interleaved rounds, keep-alive and not
# (bench/nginx_bench.py). Installs wrk and Debian's ModSecurity module and CRS, builds the release
# preset's vell.so and nginx module. Run it when the machine is otherwise quiet.
# usage: bench/nginx.sh [ROUNDS [SECONDS]]   (default 7 rounds of 5 s)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup >&2
scripts/need wrk libnginx-mod-http-modsecurity modsecurity-crs

cmake --preset release >/dev/null
cmake --build --preset release --target vell ngx_http_vell_module >&2
corpus=build/release/bench/corpus
python3 bench/gen_corpus.py "$corpus"
python3 bench/nginx_bench.py --module build/release/nginx/objs/ngx_http_vell_module.so \
  --filter build/release/bin/vell.so --config bench/config.ini --urls "$corpus/benign.txt" \
  --rounds "${1:-7}" --duration "${2:-5}"
