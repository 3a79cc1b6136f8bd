#!/usr/bin/env bash
# Instructions per request of nginx alone and with vell (bench/config.ini: every built-in rule),
# counted by callgrind on one keep-alive connection of benign URLs (bench/nginx_instructions.py):
# deterministic, so that it can be run on a busy machine, unlike bench/nginx.sh. Builds the release
# preset's vell.so and nginx module.
# usage: bench/nginx-instructions.sh [COUNT [SITE]]   (default 1000 requests, the debian site)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup >&2
scripts/need valgrind python3

cmake --preset release >/dev/null
cmake --build --preset release --target vell ngx_http_vell_module >&2
corpus=build/release/bench/corpus
python3 bench/gen_corpus.py "$corpus"
python3 bench/nginx_instructions.py --module build/release/nginx/objs/ngx_http_vell_module.so \
  --filter build/release/bin/vell.so --config bench/config.ini --urls "$corpus/benign.txt" \
  --count "${1:-1000}" --site "${2:-debian}"
