"""Reads leak-checker report files and fails on any leak the extension made.

A leak counts as the extension's when a frame of its allocation stack lies in
the extension's shared object; the rest are the interpreter's own memory,
which it does not release at exit.
"""

import pathlib
import re
import sys

FRAME_IN_MODULE = re.compile(r"\(\S*/tarnwick[^/\s]*\.so\+0x[0-9a-f]+\)")
REPORT_START = re.compile(r"^(Direct|Indirect) leak of ")


def leaks(text):
    block = []
    for line in text.splitlines():
        if REPORT_START.match(line):
            if block:
                yield block
            block = [line]
        elif block and line.strip():
            block.append(line)
        elif block:
            yield block
            block = []
    if block:
        yield block


def main(directory):
    files = sorted(pathlib.Path(directory).glob("leak*"))
    total = 0
    ours = []
    for path in files:
        for block in leaks(path.read_text(errors="replace")):
            total += 1
            if any(FRAME_IN_MODULE.search(line) for line in block):
                ours.append(block)
    for block in ours:
        print("\n".join(block), file=sys.stderr)
    if ours:
        print(
            "resolve the extension's frames with: addr2line -Cfie <its .so> <offset>",
            file=sys.stderr,
        )
    print(
        f"leak check: {len(files)} report files, "
        f"{total - len(ours)} leaks of the interpreter's own, {len(ours)} from the extension"
    )
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
