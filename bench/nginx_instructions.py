#!/usr/bin/env python3
"""Instructions per request of nginx serving a small static file, plain and with vell, counted by
callgrind: deterministic where requests per second on a shared machine are not. nginx runs in one
process (daemon and master process off) under valgrind, the site of bench/nginx_bench.py; one
keep-alive connection sends the benchmark's benign URLs one after the other. Each configuration
runs twice, with WARMUP requests and with WARMUP + COUNT, and the difference of the two totals,
divided by COUNT, is the cost of a request in the steady state (start-up, warm-up and exit cancel
out). Prints a markdown table, vell's added instructions split between the filter (its exports,
without the module's answers to its reads) and the nginx module, and the functions of vell's part
by inclusive instructions per request. The filter's count repeats exactly; nginx's own moves by up
to about 200 per request between runs on a busy machine (timers, events that arrive together).

usage: nginx_instructions.py --module ngx_http_vell_module.so --filter vell.so --config config.ini
                             --urls benign.txt [--site debian|minimal] [--count 1000]
                             [--warmup 200] [--top 25] [--keep DIR]
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nginx_bench import Server, add_site_arguments  # noqa: E402

# The module's callbacks that answer the filter: inside the filter's exports, but the module's.
CALLBACKS = re.compile(r"ngx_http_vell_(get_server_variable|get_header|set_header|add_header|"
                       r"add_response_headers|write_client|alloc_mem|server_support_function)$")
FILTER_ENTRY = "HttpFilterProc"
# Left out of the list: the phase handlers only jump to ngx_http_vell_phase (callgrind counts that
# twice), and the header filter's figure holds nginx's later header filters.
MISLEADING = re.compile(r"^ngx_http_vell_(server_rewrite_handler|rewrite_handler|header_filter)$")


def send(port, urls):
    """Sends each URL on one keep-alive connection and reads each whole response."""
    with socket.create_connection(("127.0.0.1", port), timeout=120) as s:
        f = s.makefile("rb")
        for url in urls:
            s.sendall(f"GET {url} HTTP/1.1\r\nHost: bench.test\r\n\r\n".encode())
            status = f.readline()
            length = 0
            while True:
                line = f.readline()
                if line in (b"\r\n", b""):
                    break
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            f.read(length)
            if not status.startswith(b"HTTP/1.1 200"):
                raise RuntimeError(f"{url}: {status!r}")


def run(server, urls, out):
    """Total instructions of nginx serving urls under callgrind, per function (inclusive)."""
    conf = os.path.join(server.prefix, "nginx.conf")
    proc = subprocess.Popen(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                             server.nginx, "-p", server.prefix + "/", "-c", conf],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        for _ in range(1200):
            try:
                socket.create_connection(("127.0.0.1", server.port), timeout=1).close()
                break
            except OSError:
                if proc.poll() is not None:
                    raise RuntimeError(f"{server.name}: nginx ended: "
                                       f"{proc.stderr.read().decode()[-2000:]}")
                time.sleep(0.1)
        send(server.port, urls)
    finally:
        # A signal can go unnoticed under valgrind; asking again is harmless.
        for _ in range(30):
            proc.send_signal(signal.SIGQUIT)
            try:
                proc.wait(timeout=10)
                break
            except subprocess.TimeoutExpired:
                pass
        else:
            proc.kill()
            raise RuntimeError(f"{server.name}: nginx does not stop")
    annotate = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100",
                               out], capture_output=True, text=True, check=True).stdout
    total = int(re.search(r"^([\d,]+) \(100.0%\)\s+PROGRAM TOTALS", annotate,
                          re.M).group(1).replace(",", ""))
    functions = {}
    # Lines of "count (share)  file:function [object]"; C++ names hold spaces and colons. A function
    # whose code is partly inlined from other files has a line for each, every one of them counting
    # what the function calls: the largest is the function's.
    for m in re.finditer(r"^\s*([\d,]+) \([\s\d.]+%\)\s+[^:\s]*:(.+?)(?: \[[^\]]*\])?$",
                         annotate, re.M):
        functions[m.group(2)] = max(functions.get(m.group(2), 0), int(m.group(1).replace(",", "")))
    return total, functions


def measure(server, urls, count, warmup, work, keep):
    """Instructions per request: total and per function."""
    base, base_fn = run(server, urls[:warmup], os.path.join(work, "base.out"))
    full_out = os.path.join(keep or work, re.sub(r"[^a-z]+", "-", server.name) + ".out")
    full, full_fn = run(server, urls[:warmup + count], full_out)
    per_fn = {name: (n - base_fn.get(name, 0)) / count for name, n in full_fn.items()}
    return (full - base) / count, per_fn


def main():
    p = argparse.ArgumentParser()
    add_site_arguments(p)
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--warmup", type=int, default=200)
    p.add_argument("--top", type=int, default=25)
    p.add_argument("--keep", help="a folder for callgrind's files of the longer runs")
    args = p.parse_args()

    with open(args.urls) as f:
        urls = [line.strip() for line in f if line.strip()]
    needed = args.warmup + args.count
    urls = (urls * (needed // len(urls) + 1))[:needed]

    root = tempfile.mkdtemp(prefix="vell-nginx-instructions-")
    single = "daemon off; master_process off;"
    try:
        plain = Server("nginx", args, root, "", single)
        vell = Server("nginx + vell", args, root, f"vell_filter {root}/vell/filter/vell.so; vell on;",
                      f"load_module {os.path.abspath(args.module)}; {single}")
        # The filter reads config.ini from its own folder.
        os.makedirs(os.path.join(root, "vell/filter"))
        shutil.copy(args.filter, os.path.join(root, "vell/filter/vell.so"))
        shutil.copy(args.config, os.path.join(root, "vell/filter/config.ini"))
        plain_per, _ = measure(plain, urls, args.count, args.warmup, root, args.keep)
        vell_per, fn = measure(vell, urls, args.count, args.warmup, root, args.keep)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    added = vell_per - plain_per
    callbacks = sum(n for name, n in fn.items() if CALLBACKS.search(name))
    filter_own = fn.get(FILTER_ENTRY, 0) - callbacks
    print(f"\n{args.site} site, one keep-alive connection, {args.count} benign URLs measured after "
          f"{args.warmup}; instructions per request (callgrind, nginx's process, user space).\n")
    print("| nginx | + vell | vell added | in the filter | in the module |")
    print("|---|---|---|---|---|")
    print(f"| {plain_per:,.0f} | {vell_per:,.0f} | {added:,.0f} | {filter_own:,.0f} | "
          f"{added - filter_own:,.0f} |")
    print(f"\nvell's functions, inclusive instructions per request (top {args.top}):\n")
    print("| instructions | function |")
    print("|---|---|")
    mine = [(n, name) for name, n in fn.items()
            if (name.startswith("ngx_http_vell_") or name == FILTER_ENTRY or "vell::" in name)
            and not MISLEADING.search(name)]
    for n, name in sorted(mine, reverse=True)[:args.top]:
        print(f"| {n:,.0f} | {name} |")


if __name__ == "__main__":
    main()
