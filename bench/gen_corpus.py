#!/usr/bin/env python3
"""Writes the benchmark corpora: realistic benign URLs, attack URLs for every signature, and
adversarial URLs that make backtracking matchers and the deep layer's detectors slow. Deterministic: the same files every run.

usage: gen_corpus.py OUTDIR
writes OUTDIR/benign.txt, OUTDIR/attacks.txt ("signature<TAB>url"), OUTDIR/adversarial.txt
("name<TAB>url")."""
import os
import random
import sys

rng = random.Random(20261210)

WORDS = ("products catalog shop news blog article user account help support search images static "
         "css js assets docs api v1 v2 orders cart checkout category item review media download "
         "about contact faq careers press events archive tag page list detail").split()
EXTS = ["html", "htm", "asp", "aspx", "php", "jsp", "js", "css", "png", "jpg", "gif", "ico", "json"]
PARAMS = ("id page sort q lang size color ref utm_source utm_medium session view limit offset "
          "category year month format").split()
VALUES = ("1 2 10 42 123 9876 asc desc en de fr blue red small medium large grid list json xml "
          "newsletter google spring-sale 2024 summer shoes red%20shoes caf%C3%A9 a-b_c").split()


def benign():
    depth = rng.randint(1, 5)
    path = "/" + "/".join(rng.choice(WORDS) for _ in range(depth))
    if rng.random() < 0.7:
        path += "." + rng.choice(EXTS)
    if rng.random() < 0.6:
        query = "&".join(f"{rng.choice(PARAMS)}={rng.choice(VALUES)}"
                         for _ in range(rng.randint(1, 6)))
        path += "?" + query
    return path


ATTACKS = {
    "SQLInjection1": ["/search.asp?q=x%27%20UNION%20SELECT%20password%20FROM%20users",
                      "/item.php?id=1'union select 1,2", "/a?b=%27union%20all",
                      "/news?id=5%27%20union", "/list.aspx?cat=%27 UNION"],
    "SQLInjection2": ["/login.asp?user=admin%27%20or%201=1", "/login?u=x'or'1'='1",
                      "/q?name=%27%6F%72", "/q?name=%27%20%4F%52%201", "/p?x=ww'OR"],
    "SQLInjection3": ["/q.asp?x=1;exec%20xp_cmdshell%20dir", "/q.asp?x=exec sp_who",
                      "/run?c=EXEC%20%20XP_REGREAD", "/s?exec%20sp_password", "/t?a=exec  xp_"],
    "SQLInjection4": ["/item.asp?id=%27", "/item.asp?id='", "/x?a=1;b=--", "/x?a=%3D%3B",
                      "/y?q=%23"],
    "ShellCode1": ["/cgi-bin/a?d=%5cxeb%5cx90", "/a?x=\\xeb", "/b?%5c%78%65%62",
                   "/c?p=%5CX%45B", "/d?e=\\x%65%62"],
    "ShellCode2": ["/a?b=%5cx90%5cx90%5cx90", "/x?y=\\x90\\x90", "/s?%5c%7890", "/z?q=%5CX90",
                   "/w?\\x90"],
    "ShellCode3": ["/a?b=%5cx41%5cx42%5cx43", "/p?\\x4f\\x4b", "/q?%5c%78ff", "/r?x=\\xzz",
                   "/s?%5C%58a1"],
    "URLSplit1": ["/r?x=%0d%0aContent-Type:%20text/html", "/r?u=%0d%0d%0a%0aContent-type:",
                  "/redirect.asp?to=x%0D%0AContent-Type:", "/s?a=%0d%0acontent-type:x",
                  "/t?%0d%0a%0acontent-type:"],
    "URLSplit2": ["/r?x=%0d%0aContent-Length:%200", "/r?x=%0d%0a%0d%0acontent-x",
                  "/a?b=%0D%0AContent-Location:", "/c?%0d%0acontent-", "/d?e=%0d%0d%0acontent-y"],
    "URLSplit3": ["/r?x=%0d%0aHTTP/1.1%20200%20OK", "/r?%0d%0ahttp/1.0", "/a?b=%0D%0AHTTP/.",
                  "/c?%0d%0a%0d%0ahttp/1.", "/d?%0d%0ahttp/0.1"],
    "DirectoryTraversal": ["/scripts/..%5c../winnt/system32/cmd.exe", "/a/../../etc/passwd",
                           "/b%2f..%2f..%2fboot.ini", "/c/%2e%2e/%2e%2e/x", "/d%5c%2e%2e%5cwin.ini"],
    "ServerSideInclude": ["/page.shtml?x=<!--#exec%20cmd=%22ls%22-->", "/p?%3C%21--%23include",
                          "/q?a=<!---#echo", "/r?%3c!%2d%2d%23exec", "/s?<%21--%23"],
    "commandExe": ["/scripts/..%255c../winnt/system32/cmd.exe?/c+dir",
                   "/msadc/..%c0%af../system32/cmd.exe", "/root.exe?/c+dir",
                   "/c/winnt/SYSTEM32/CMD.EXE", "/_vti_bin/root.exe"],
    "CodeRed": ["/default.ida?NNNNNNNNNNNNNNNNNNNN%u9090%u6858", "/default.ida?XXXXXXXX",
                "/DEFAULT.IDA", "/default.ida", "/default.idaq?x"],
}


def attacks():
    out = []
    for name, seeds in ATTACKS.items():
        for i in range(15):
            url = seeds[i % len(seeds)]
            if i >= len(seeds):  # vary the surroundings, keep the payload
                prefix = "/" + "/".join(rng.choice(WORDS) for _ in range(rng.randint(0, 2)))
                if name == "CodeRed":
                    url = url + "&n=" + str(i)
                else:
                    url = prefix.rstrip("/") + url
            out.append((name, url))
    return out


def adversarial():
    out = []
    for size in (2048, 8192, 16384):
        for unit in ("%0d", "%0d%0a", "%5cx", "a=", "'", "a/"):
            body = unit * (size // len(unit) + 1)
            out.append((f"{unit!r}x{size}", ("/" + body)[:size]))
        payload = "%0d%0aContent-Type:%20text/html"
        pad = "%0d" * ((size - len(payload) - 3) // 3)
        out.append((f"padded-crlf-injection-{size}", "/?" + pad + payload))
        # Arguments whose values make libinjection work hardest per byte ("<b>" for its SQL
        # detector, "<a " for its HTML one), as many as the size holds.
        values, length = [], 2
        while length < size:
            value = f"v{len(values)}=" + ("<b>" if len(values) % 2 == 0 else "<a ") * 170
            values.append(value)
            length += len(value) + 1
        out.append((f"libinjection-budget-{size}", ("/?" + "&".join(values))[:size]))
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    with open(os.path.join(outdir, "benign.txt"), "w") as f:
        seen = set()
        while len(seen) < 2500:
            url = benign()
            if 30 <= len(url) <= 200 and url not in seen:
                seen.add(url)
                f.write(url + "\n")
    with open(os.path.join(outdir, "attacks.txt"), "w") as f:
        for name, url in attacks():
            f.write(f"{name}\t{url}\n")
    with open(os.path.join(outdir, "adversarial.txt"), "w") as f:
        for name, url in adversarial():
            f.write(f"{name}\t{url}\n")


if __name__ == "__main__":
    main()
