#!/usr/bin/env python3
"""Runs the examples of the documentation and fails when the program prints something else.

usage: check_docs.py SKEINWORK FILE.md...

Each document runs in a fresh folder of its own; its marked blocks are handled in order:

  <!-- file NAME -->        the next fenced block is written to NAME (text, LF line breaks; its
                            folders are made)
  <!-- file NAME model -->  the same, as a script: "Skeinwork 0.79" and "== Model ==" go first
  <!-- file NAME hex -->    the next fenced block is hexadecimal bytes ("#" starts a comment)
  <!-- run -->              the next fenced block is commands ("$ skeinwork ...") each followed
                            by what it prints (stdout and stderr together); an exit code
                            other than 0 is printed as a last line "[exit N]"

Output is compared line by line without trailing blanks.
"""
import os
import re
import shlex
import subprocess
import sys
import tempfile

MARK = re.compile(r"<!--\s*(file|run)\b(.*?)-->")


def blocks(text):
    """Yields (line number, marker, argument words, block text) for each marked fenced block."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        mark = MARK.fullmatch(lines[i].strip())
        i += 1
        if not mark:
            continue
        start = i
        while i < len(lines) and not lines[i].strip():
            i += 1
        if i == len(lines) or not lines[i].startswith("```"):
            raise SystemExit(f"line {start}: a marker must stand right before a fenced block")
        fence = lines[i][: len(lines[i]) - len(lines[i].lstrip("`"))]
        body = []
        i += 1
        while i < len(lines) and lines[i].rstrip() != fence:
            body.append(lines[i])
            i += 1
        i += 1
        yield start, mark.group(1), mark.group(2).split(), "\n".join(body) + "\n"


def write_file(folder, words, body):
    name, kind = words[0], (words[1] if len(words) > 1 else "text")
    path = os.path.join(folder, name)
    if kind == "hex":
        data = bytes.fromhex("".join(line.split("#")[0] for line in body.splitlines()))
    elif kind == "model":
        data = ("Skeinwork 0.79\n\n== Model ==\n" + body).encode()
    else:
        data = body.encode()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def run_commands(program, folder, body):
    """Returns (expected, actual) texts of a run block."""
    expected, actual = [], []
    for line in body.rstrip("\n").split("\n"):
        expected.append(line.rstrip())
        if not line.startswith("$ "):
            continue
        actual.append(line.rstrip())
        words = shlex.split(line[2:])
        if words[0] != "skeinwork":
            raise SystemExit(f"only skeinwork commands run: {line}")
        done = subprocess.run([program] + words[1:], cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=60)
        printed = done.stdout.decode("utf-8", "replace").rstrip("\n")
        actual += [text.rstrip() for text in printed.split("\n")] if printed else []
        if done.returncode != 0:
            actual.append(f"[exit {done.returncode}]")
    return "\n".join(expected), "\n".join(actual)


def check(program, document):
    failures = 0
    with open(document, encoding="utf-8") as source, tempfile.TemporaryDirectory() as folder:
        for line, kind, words, body in blocks(source.read()):
            if kind == "file":
                write_file(folder, words, body)
                continue
            expected, actual = run_commands(program, folder, body)
            if expected != actual:
                failures += 1
                print(f"{document}:{line}: the example prints something else.\n--- documented\n{expected}\n"
                      f"--- printed\n{actual}\n")
    return failures


def main():
    program, documents = os.path.abspath(sys.argv[1]), sys.argv[2:]
    failures = sum(check(program, document) for document in documents)
    if failures:
        print(f"{failures} example(s) differ.")
        return 1
    print(f"The examples of {len(documents)} document(s) print what they show.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
