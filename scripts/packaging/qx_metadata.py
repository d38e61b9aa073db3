"""Packaging metadata derived from python-versions.txt, the one list of
supported versions: requires-python spans them, and each has a classifier.
Loaded by scikit-build-core as a local dynamic-metadata provider."""
from __future__ import annotations

from pathlib import Path
from typing import Any, Mapping

VERSIONS_FILE = Path(__file__).resolve().parents[2] / "python-versions.txt"


def supported_versions(path: Path = VERSIONS_FILE) -> list[tuple[int, int]]:
    versions = []
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        # A free-threaded build (3.13t) is the same version for pip's
        # purposes: its wheels carry their own tag (cp313t).
        if line and not line.endswith("t"):
            major, minor = line.split(".")
            versions.append((int(major), int(minor)))
    if not versions or versions != sorted(set(versions)):
        raise RuntimeError(f"{path}: expected versions like 3.11, one per line, oldest first")
    return versions


class Provider:
    @staticmethod
    def dynamic_metadata(settings: Mapping[str, Any], project: Mapping[str, Any]) -> dict[str, Any]:
        versions = supported_versions()
        (low_major, low_minor), (high_major, high_minor) = versions[0], versions[-1]
        return {
            "requires-python": f">={low_major}.{low_minor},<{high_major}.{high_minor + 1}",
            "classifiers": [f"Programming Language :: Python :: {a}.{b}" for a, b in versions],
        }
