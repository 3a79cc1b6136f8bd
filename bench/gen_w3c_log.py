#!/usr/bin/env python3
"""Writes a large IIS W3C extended log for timing vell replay: realistic benign requests with a
sprinkle of attacks (one line in about 2,000), a #Fields change every 200,000 lines, as IIS writes
when it restarts. Deterministic: the same file every run. Never commit its output.

usage: gen_w3c_log.py OUT [SIZE_MB]     (SIZE_MB defaults to 1024)"""
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_corpus  # noqa: E402  (the benign URL and attack generators)

rng = random.Random(20261211)

FIELDS = [
    "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
    "cs(User-Agent) cs(Referer) cs-host sc-status sc-substatus sc-win32-status time-taken",
    "#Fields: date time c-ip cs-username s-ip s-port cs-method cs-uri-stem cs-uri-query sc-status "
    "cs(User-Agent) cs(Referer) cs-host time-taken",
]
AGENTS = [
    "Mozilla/5.0+(Windows+NT+10.0;+Win64;+x64)+AppleWebKit/537.36+(KHTML,+like+Gecko)+"
    "Chrome/120.0.0.0+Safari/537.36",
    "Mozilla/5.0+(Macintosh;+Intel+Mac+OS+X+10_15_7)+AppleWebKit/605.1.15+(KHTML,+like+Gecko)+"
    "Version/17.1+Safari/605.1.15",
    "Mozilla/5.0+(X11;+Linux+x86_64;+rv:121.0)+Gecko/20100101+Firefox/121.0",
    "Mozilla/5.0+(compatible;+Googlebot/2.1;++http://www.google.com/bot.html)",
    "curl/7.88.1", "-",
]
REFERERS = ["-", "-", "https://www.example.com/", "https://www.google.com/search?q=shoes",
            "https://www.example.com/products/list.aspx?page=2"]
HOSTS = ["www.example.com", "www.example.com", "www.example.com", "shop.example.com"]


def split(url):
    stem, _, query = url.partition("?")
    return stem.replace(" ", "+") or "/", (query.replace(" ", "+") or "-")


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    out_path = sys.argv[1]
    limit = int(sys.argv[2] if len(sys.argv) == 3 else 1024) * 1024 * 1024
    benign = [split(gen_corpus.benign()) for _ in range(50000)]
    attacks = [split(url) for urls in gen_corpus.ATTACKS.values() for url in urls]
    clients = ["%d.%d.%d.%d" % (rng.randint(1, 223), rng.randint(0, 255), rng.randint(0, 255),
                                rng.randint(1, 254)) for _ in range(5000)]
    written = 0
    line_no = 0
    layout = 0
    with open(out_path, "w", newline="") as out:
        while written < limit:
            if line_no % 200000 == 0:
                header = ("#Software: Microsoft Internet Information Services 10.0\r\n"
                          "#Version: 1.0\r\n#Date: 2026-12-10 00:00:00\r\n" + FIELDS[layout] + "\r\n")
                out.write(header)
                written += len(header)
                current = layout
                layout = 1 - layout
            chunk = []
            for _ in range(1000):
                line_no += 1
                stem, query = attacks[rng.randrange(len(attacks))] if rng.random() < 0.0005 \
                    else benign[rng.randrange(len(benign))]
                seconds = line_no // 50
                date = "2026-12-10"
                time = "%02d:%02d:%02d" % (seconds // 3600 % 24, seconds // 60 % 60, seconds % 60)
                client = clients[rng.randrange(len(clients))]
                agent = AGENTS[rng.randrange(len(AGENTS))]
                referer = REFERERS[rng.randrange(len(REFERERS))]
                # A few clients name the server by its address, or send no Host at all.
                draw = rng.random()
                host = "10.0.0.10" if draw < 0.002 else "-" if draw < 0.003 else \
                    HOSTS[rng.randrange(len(HOSTS))]
                method = "GET" if rng.random() < 0.9 else "POST"
                status = "200" if rng.random() < 0.9 else "404"
                taken = str(rng.randint(0, 900))
                if current == 0:
                    fields = (date, time, "10.0.0.10", method, stem, query, "443", "-", client, agent,
                              referer, host, status, "0", "0", taken)
                else:
                    fields = (date, time, client, "-", "10.0.0.10", "443", method, stem, query,
                              status, agent, referer, host, taken)
                chunk.append(" ".join(fields))
            text = "\r\n".join(chunk) + "\r\n"
            out.write(text)
            written += len(text)
    print("%s: %d lines, %.1f MB" % (out_path, line_no, written / 1048576.0))


if __name__ == "__main__":
    main()
