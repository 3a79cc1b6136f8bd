#!/usr/bin/env python3
"""Requests per second of nginx serving a small static file: plain, with vell (the benchmark's
configuration, every built-in rule), and with ModSecurity and the OWASP CRS where Debian's
libnginx-mod-http-modsecurity and modsecurity-crs are installed. All run side by side, each nginx
with one worker pinned to CPU 0 and wrk pinned to CPU 1; the rounds interleave the configurations
(the order rotates every round), with keep-alive connections and with a new connection for every
request. Prints a markdown table of the medians, and vell's and ModSecurity's share of plain
nginx's requests per second, with the load average before and after. It also gives the worker's
CPU time per request (user and system, from /proc): on a machine busy with other work, requests
per second follow the CPU share the worker gets, and the CPU time per request says what each
configuration costs.

--site debian (the default) serves with the settings of Debian's nginx.conf (sendfile, an access
log); --site minimal leaves the access log off, so that nginx does the least work of its own.

usage: nginx_bench.py --module ngx_http_vell_module.so --filter vell.so --config config.ini
                      --urls benign.txt [--site debian|minimal] [--rounds 7] [--duration 5]
                      [--connections 32]
"""

import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

MODSECURITY_MODULE = "/usr/lib/nginx/modules/ngx_http_modsecurity_module.so"
MODSECURITY_CONF = "/etc/nginx/modsecurity.conf"
CRS = ["/etc/modsecurity/crs/crs-setup.conf",
       "/etc/modsecurity/crs/REQUEST-900-EXCLUSION-RULES-BEFORE-CRS.conf",
       "/usr/share/modsecurity-crs/rules/*.conf",
       "/etc/modsecurity/crs/RESPONSE-999-EXCLUSION-RULES-AFTER-CRS.conf"]

WRK_SCRIPT = """
local paths = {}
for line in io.lines("%(urls)s") do paths[#paths + 1] = line end
local i = 0
request = function()
  i = i %% #paths + 1
  return wrk.format("GET", paths[i])
end
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def load_average():
    return open("/proc/loadavg").read().split()[0]


class Server:
    """One nginx in a prefix of its own, serving every URL with the same small file."""

    def __init__(self, name, args, root, http_extra, main_extra=""):
        self.name = name
        self.nginx = args.nginx
        self.prefix = os.path.join(root, re.sub(r"[^a-z]+", "-", name.lower()))
        self.port = free_port()
        for d in ("html", "logs", "filter", "tmp"):
            os.makedirs(os.path.join(self.prefix, d), exist_ok=True)
        with open(os.path.join(self.prefix, "html/index.html"), "w") as f:
            f.write("<html><body>a small page</body></html>\n")
        user = "user root root;" if os.geteuid() == 0 else ""
        if args.site == "debian":
            site = (f"sendfile on; tcp_nopush on; include /etc/nginx/mime.types; "
                    f"default_type application/octet-stream; "
                    f"access_log {self.prefix}/logs/access.log;")
        else:
            site = "access_log off;"
        with open(os.path.join(self.prefix, "nginx.conf"), "w") as f:
            f.write(f"""
{main_extra}
{user}
worker_processes 1;
worker_cpu_affinity 01;
error_log {self.prefix}/logs/error.log warn;
pid {self.prefix}/logs/nginx.pid;
events {{ worker_connections 1024; }}
http {{
    {site}
    client_body_temp_path {self.prefix}/tmp;
    keepalive_requests 1000000;
    {http_extra}
    server {{
        listen 127.0.0.1:{self.port} backlog=4096;
        server_name bench.test;
        root {self.prefix}/html;
        location / {{ try_files /index.html =404; }}
    }}
}}
""")

    def start(self):
        subprocess.run([self.nginx, "-p", self.prefix + "/", "-c", self.prefix + "/nginx.conf"],
                       check=True)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"{self.name}: nginx does not answer")

    def stop(self):
        subprocess.run([self.nginx, "-p", self.prefix + "/", "-c", self.prefix + "/nginx.conf",
                        "-s", "quit"], capture_output=True)

    def cpu_seconds(self):
        """User and system time of the worker process so far."""
        with open(os.path.join(self.prefix, "logs/nginx.pid")) as f:
            master = f.read().strip()
        worker = subprocess.run(["ps", "-o", "pid=", "--ppid", master], capture_output=True,
                                text=True).stdout.split()[0]
        with open(f"/proc/{worker}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wrk(args, server, script, keepalive):
    cmd = ["taskset", "-c", "1", "wrk", "-t1", f"-c{args.connections}", f"-d{args.duration}s",
           "-s", script, "-H", "Host: bench.test"]
    if not keepalive:
        cmd += ["-H", "Connection: close"]
    cpu = server.cpu_seconds()
    out = subprocess.run(cmd + [f"http://127.0.0.1:{server.port}"], capture_output=True,
                         text=True, check=True).stdout
    cpu = server.cpu_seconds() - cpu
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return rps, int(errors.group(1)) if errors else 0, cpu / max(requests, 1) * 1e6


def add_site_arguments(p):
    """The arguments of a site to measure: nginx, vell's module, filter and config, the URLs."""
    p.add_argument("--nginx", default="/usr/sbin/nginx")
    p.add_argument("--module", required=True, help="ngx_http_vell_module.so")
    p.add_argument("--filter", required=True, help="vell.so")
    p.add_argument("--config", required=True, help="vell's config.ini")
    p.add_argument("--urls", required=True, help="request targets, one a line")
    p.add_argument("--site", choices=("debian", "minimal"), default="debian")


def main():
    p = argparse.ArgumentParser()
    add_site_arguments(p)
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--duration", type=int, default=5)
    p.add_argument("--connections", type=int, default=32)
    args = p.parse_args()

    root = tempfile.mkdtemp(prefix="vell-nginx-bench-")
    script = os.path.join(root, "urls.lua")
    with open(script, "w") as f:
        f.write(WRK_SCRIPT % {"urls": os.path.abspath(args.urls)})

    servers = [Server("nginx", args, root, "")]
    vell = Server("nginx + vell", args, root, f"vell_filter {root}/vell/filter/vell.so; vell on;",
                  f"load_module {os.path.abspath(args.module)};")
    servers.append(vell)
    # The filter reads config.ini from its own folder.
    os.makedirs(os.path.join(root, "vell/filter"), exist_ok=True)
    shutil.copy(args.filter, os.path.join(root, "vell/filter/vell.so"))
    shutil.copy(args.config, os.path.join(root, "vell/filter/config.ini"))
    if all(os.path.exists(f) for f in (MODSECURITY_MODULE, MODSECURITY_CONF, CRS[0])):
        # Debian's recommended settings with the engine on, then the CRS as its package loads it
        # (libmodsecurity has no IncludeOptional).
        rules = os.path.join(root, "modsecurity.conf")
        with open(rules, "w") as f:
            f.write(f"Include {MODSECURITY_CONF}\nSecRuleEngine On\nSecAuditEngine Off\n" +
                    "".join(f"Include {path}\n" for path in CRS))
        servers.append(Server("nginx + ModSecurity + CRS", args, root,
                              f"modsecurity on; modsecurity_rules_file {rules};",
                              f"load_module {MODSECURITY_MODULE};"))

    results = {(s.name, k): [] for s in servers for k in (True, False)}
    cpu = {(s.name, k): [] for s in servers for k in (True, False)}
    refused = {(s.name, k): 0 for s in servers for k in (True, False)}
    before = load_average()
    try:
        for s in servers:
            s.start()
        for s in servers:  # warm up
            wrk(argparse.Namespace(**{**vars(args), "duration": 1}), s, script, True)
        for r in range(args.rounds):
            order = servers[r % len(servers):] + servers[:r % len(servers)]
            for keepalive in (True, False):
                for s in order:
                    rps, errors, us = wrk(args, s, script, keepalive)
                    results[(s.name, keepalive)].append(rps)
                    cpu[(s.name, keepalive)].append(us)
                    refused[(s.name, keepalive)] += errors
            print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)
    finally:
        for s in servers:
            s.stop()
        after = load_average()
        time.sleep(0.5)
        shutil.rmtree(root, ignore_errors=True)

    print(f"\n{args.site} site, {args.rounds} interleaved rounds of {args.duration} s, "
          f"{args.connections} connections, {sum(1 for _ in open(args.urls))} URLs; "
          f"load average {before} before, {after} after.\n")
    print("| configuration | connections | req/s (median) | share of plain | worker CPU µs per "
          "request (median) | plain's CPU per request over this | non-2xx responses |")
    print("|---|---|---|---|---|---|---|")
    for k in (True, False):
        base = statistics.median(results[("nginx", k)])
        base_cpu = statistics.median(cpu[("nginx", k)])
        for s in servers:
            m = statistics.median(results[(s.name, k)])
            c = statistics.median(cpu[(s.name, k)])
            print(f"| {s.name} | {'keep-alive' if k else 'new for each request'} | {m:,.0f} | "
                  f"{100 * m / base:.1f}% | {c:.1f} | {100 * base_cpu / c:.1f}% | "
                  f"{refused[(s.name, k)]} |")


if __name__ == "__main__":
    main()
