#!/usr/bin/env python3
"""Writes the held-out attack corpus: attacks from sources other than the shared dev corpus, kept
apart so that they tell whether detection generalises. Nothing was tuned on them.

- libinjection's sample lists (data/sqli-*.txt, data/xss-*.txt, from Debian's modsecurity source
  package): each line is URL-encoded user input, placed as a query value.
- the regression tests of the OWASP Core Rule Set (Debian's modsecurity-crs source package): the
  GET tests of the LFI (930), RCE (932), XSS (941), SQLi (942) and HTTP splitting (921) rules that
  expect their rule to fire, with the payload in the URL.

usage: holdout_corpus.py LIBINJECTION_DATA_DIR CRS_SOURCE_DIR OUT.tsv
"""
import glob
import os
import sys

import yaml


def request_target(value):
    # Bytes that cannot stand in a request target are percent-encoded; the rest is sent as is.
    out = []
    for b in value.encode("latin-1", "replace"):
        out.append("%%%02X" % b if b <= 0x20 or b >= 0x7F or b == ord("#") else chr(b))
    return "".join(out)


def libinjection_rows(data_dir):
    for cls, prefix in (("sqli", "sqli-"), ("xss", "xss-")):
        for path in sorted(glob.glob(os.path.join(data_dir, prefix + "*.txt"))):
            with open(path, encoding="latin-1") as f:
                for line in f:
                    line = line.rstrip("\r\n")
                    if line and not line.startswith("#"):
                        yield cls, "libinjection/" + os.path.basename(path), "/index.php?q=" + request_target(line)


CRS_CLASSES = {"930": "traversal", "932": "cmdi", "941": "xss", "942": "sqli", "921": "crlf"}


def crs_rows(crs_dir):
    for path in sorted(glob.glob(os.path.join(crs_dir, "tests/regression/tests/*/*.yaml"))):
        rule = os.path.basename(path)[:6]
        cls = CRS_CLASSES.get(rule[:3])
        if cls is None:
            continue
        try:
            doc = yaml.safe_load(open(path, encoding="utf-8", errors="replace"))
        except yaml.YAMLError:
            continue
        for test in doc.get("tests", []):
            for stage in test.get("stages", []):
                stage = stage.get("stage", {})
                given, expected = stage.get("input", {}), stage.get("output", {})
                uri = str(given.get("uri", ""))
                if given.get("method", "GET") != "GET" or given.get("data") or "?" not in uri:
                    continue
                if rule not in str(expected.get("log_contains", "")):
                    continue
                yield cls, "crs/" + rule, request_target(uri)


def main():
    data_dir, crs_dir, out = sys.argv[1:4]
    with open(out, "w", encoding="latin-1") as f:
        f.write("# class\tsource\turl (held-out corpus)\n")
        for row in list(libinjection_rows(data_dir)) + list(crs_rows(crs_dir)):
            f.write("\t".join(row) + "\n")


if __name__ == "__main__":
    main()
