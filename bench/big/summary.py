#!/usr/bin/env python3
"""Puts the tables of bench/big at the end of the peer bench's results, replacing earlier ones.

summary.py RESULTS_MD BIG_RESULTS_MD...
"""
import sys

summary, tables = sys.argv[1], sys.argv[2:]
head = "\n## Cold cards, larger than memory or not (bench/big)\n"
earlier_heads = (head, "\n## Cards larger than memory (bench/big)\n")
text = open(summary).read()
for h in earlier_heads:
    text = text.split(h)[0]
text = text.rstrip("\n") + "\n" + head
for path in tables:
    title, rest = open(path).read().split("\n", 1)
    # each file's headings two levels down
    text += "\n###" + title.lstrip("#") + "\n" + rest.replace("\n### ", "\n#### ")
open(summary, "w").write(text)
