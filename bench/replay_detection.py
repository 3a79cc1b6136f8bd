#!/usr/bin/env python3
"""Detection of one configuration through the filter module, as `vell replay` serves it.

Per attack class, the share of the attack corpus that the configuration denies or redirects (or,
in detection-only mode, would); how many requests of a benign access log it denies or redirects,
and which; and how many of libinjection's benign inputs, each placed as a query value, it denies,
and by which rule. Markdown on stdout.

usage: replay_detection.py VELL CONFIG --attacks=TSV... [--benign=LOG] [--false-positives=TXT]
"""
import collections
import gzip
import json
import os
import subprocess
import sys
import tempfile
import urllib.parse


def replay(vell, config, log, fmt, show=False):
    command = [vell, "replay", config, log, "--format", "json", "--no-progress"]
    if fmt:
        command += ["--log-format", fmt]
    if show:
        command += ["--show", "denied,redirected,heldback"]
    out = subprocess.run(command, capture_output=True, check=False).stdout
    return json.loads(out)


def caught(report):
    t = report["totals"]
    return t["deny"] + t["redirect"] + t["heldBackDeny"] + t["heldBackRedirect"]


def open_text(path):
    return gzip.open(path, "rt", errors="surrogateescape") if path.endswith(".gz") else open(
        path, errors="surrogateescape")


def main():
    vell, config = sys.argv[1], sys.argv[2]
    attacks, benign, positives = [], None, None
    for arg in sys.argv[3:]:
        if arg.startswith("--attacks="):
            attacks.append(arg.split("=", 1)[1])
        elif arg.startswith("--benign="):
            benign = arg.split("=", 1)[1]
        elif arg.startswith("--false-positives="):
            positives = arg.split("=", 1)[1]
    work = tempfile.mkdtemp()
    print(f"Detection of {config} through the filter module (vell replay)\n")
    for corpus in attacks:
        by_class = collections.defaultdict(list)
        with open_text(corpus) as lines:
            for line in lines:
                if line.startswith("#"):
                    continue
                parts = line.rstrip("\n").split("\t")
                if len(parts) == 3:
                    by_class[parts[0]].append(parts[2])
        print(f"{os.path.basename(corpus)}:\n\n| class | requests | caught | % |\n|---|---|---|---|")
        for name in sorted(by_class):
            path = os.path.join(work, name + ".urls")
            with open(path, "w", errors="surrogateescape") as out:
                out.write("\n".join(by_class[name]) + "\n")
            report = replay(vell, config, path, "urls")
            total = report["totals"]["requests"]
            hit = caught(report)
            print(f"| {name} | {total} | {hit} | {100.0 * hit / max(total, 1):.1f} |")
        print()
    if benign:
        report = replay(vell, config, benign, None, show=True)
        print(f"{os.path.basename(benign)}: {report['totals']['requests']} requests, "
              f"{caught(report)} denied or redirected, {report['totals']['excluded']} passed by an "
              f"Exclude line")
        for request in report["requests"]:
            how = f" ({request['form']})" if request.get("form") else ""
            print(f"- {request['kind']} by {request['rule']}{how}: `{request['url'][:120]}`")
        print()
    if positives:
        path = os.path.join(work, "positives.urls")
        count = 0
        with open(positives, errors="surrogateescape") as lines, open(path, "w") as out:
            for line in lines:
                value = line.rstrip("\n")
                if not value or value.startswith("#"):
                    continue
                out.write("/index.php?q=" + urllib.parse.quote(value, safe="") + "\n")
                count += 1
        report = replay(vell, config, path, "urls", show=True)
        rules = collections.Counter(r["rule"] for r in report["requests"])
        print(f"{os.path.basename(positives)} as query values: {count} inputs, {caught(report)} "
              f"denied or redirected ({', '.join(f'{k} {v}' for k, v in rules.most_common())})")
        for request in report["requests"]:
            value = urllib.parse.unquote(request["url"][len("/index.php?q="):])
            how = f" ({request['form']})" if request.get("form") else ""
            print(f"- {request['rule']}{how}: `{value[:100]}`")


if __name__ == "__main__":
    main()
