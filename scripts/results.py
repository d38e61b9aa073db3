"""Counts from the runners' JUnit XML files (GoogleTest's, pytest's), for the
test command's stage summaries: one line per file, then each skip reason with
its count. Usage: results.py LABEL=FILE... ; exits 1 if a file is missing or
unreadable (a runner that wrote nothing has not passed)."""
import collections
import re
import sys
import xml.etree.ElementTree as ET


def skip_reason(message: str) -> str:
    # GoogleTest puts the skip's file:line before the reason.
    lines = [line for line in message.strip().splitlines() if not re.fullmatch(r"\S+:\d+", line)]
    return lines[0].removeprefix("Skipped: ") if lines else "no reason given"


def summarize(label: str, path: str) -> list[str]:
    root = ET.parse(path).getroot()
    counts = collections.Counter()
    reasons = collections.Counter()
    for case in root.iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            counts["failed"] += 1
        elif (skipped := case.find("skipped")) is not None:
            counts["skipped"] += 1
            reasons[skip_reason(skipped.get("message") or skipped.text or "")] += 1
        else:
            counts["passed"] += 1
    parts = [f"{counts[k]} {k}" for k in ("passed", "failed", "skipped") if counts[k] or k == "passed"]
    lines = [f"{label}: {', '.join(parts)}"]
    lines += [f"    skipped {n}: {reason}" for reason, n in sorted(reasons.items())]
    return lines


def main() -> int:
    status = 0
    for arg in sys.argv[1:]:
        label, _, path = arg.partition("=")
        try:
            print("\n".join(summarize(label, path)))
        except (OSError, ET.ParseError) as e:
            print(f"{label}: no results ({e})")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
