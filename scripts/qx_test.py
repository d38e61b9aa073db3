"""The test command's driver (scripts/test.sh runs it with /usr/bin/python3;
standard library only). Its stages, numbered "[n/N] stage":
  - packages: installs the Debian packages missing, provides the interpreters
    no package has (scripts/python-build.sh: 3.13t, its ThreadSanitizer
    build, 3.13 where pyenv lacks it; scripts/sid-root.sh: the sid root of
    3.14 on), makes each interpreter's tools venv (requirements-dev.txt);
  - ctest in each build tree, by its preset (scripts/ctest-tree.sh; a sid
    version's inside the sid root): build/, build-dbg/, build-clang/, then
    build-312/ and so on, and each sid version's debug tree;
  - each check of scripts/checks/ in name order.
A version of python-versions.txt not found is skipped and named, unless
QX_REQUIRE_PYTHONS lists it ("all": every one): then its stage fails.

  qx_test.py [--list] [SELECTOR...]
A selector picks stages: a number (3), a range (2-4), or a piece of a
stage's name ("build-dbg/", "hygiene"); none: every stage. --list prints the
stages and runs none.
  qx_test.py find-shell VERSION...
Finds the interpreter of each version and prints shell assignments
(QX_PYTHON_3_12=..., QX_FOUND_PYTHONS, QX_MISSING_PYTHONS), which
qx_find_pythons in scripts/deps.sh evaluates: the one place that knows
where interpreters are looked for.
"""

import glob
import os
import re
import shlex
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEPS = ROOT / "scripts" / "deps.sh"
IN_SID_ROOT = bool(os.environ.get("QX_IN_SID_ROOT"))


def deps(command: str, capture: bool = True) -> str:
    """Runs a command after sourcing scripts/deps.sh (its helpers stay in shell)."""
    done = subprocess.run(
        ["bash", "-c", f'. "$QX_ROOT/scripts/deps.sh" && {command}'],
        env={**os.environ, "QX_ROOT": str(ROOT)},
        stdout=subprocess.PIPE if capture else None,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        raise RuntimeError(f"scripts/deps.sh: {command}: exit {done.returncode}")
    return done.stdout.strip() if capture else ""


def deps_settings() -> dict[str, str]:
    """The settings scripts/deps.sh holds (packages, Debian's interpreters)."""
    names = ["QX_APT_PACKAGES", "QX_DEBIAN_PYTHON", "QX_DEBIAN_VERSION", "QX_DEBUG_PYTHON", "QX_NEWEST_SOURCE_SERIES"]
    out = deps("printf '%s\\n' " + " ".join(f'"${n}"' for n in names))
    return dict(zip(names, out.split("\n")))


SETTINGS = deps_settings()
DEBIAN_PYTHON = SETTINGS["QX_DEBIAN_PYTHON"]
DEBIAN_VERSION = SETTINGS["QX_DEBIAN_VERSION"]
DEBUG_PYTHON = SETTINGS["QX_DEBUG_PYTHON"]


def version_key(text: str) -> tuple:
    return tuple(int(n) for n in re.findall(r"\d+", text))


def supported_versions() -> list[str]:
    lines = (line.split("#", 1)[0].strip() for line in (ROOT / "python-versions.txt").read_text().splitlines())
    return [v for line in lines for v in line.split()]


SUPPORTED = supported_versions()
FREE_THREADED = [v for v in SUPPORTED if v.endswith("t")]
# The versions after the newest whose source the machine builds come from sid.
SID_VERSIONS = [
    v
    for v in SUPPORTED
    if not v.endswith("t") and version_key(v) > version_key(SETTINGS["QX_NEWEST_SOURCE_SERIES"])
]


def python_var(version: str) -> str:
    return "QX_PYTHON_" + version.replace(".", "_")


# ---------------------------------------------------------------------------
# Finding the interpreters. Debian's own version is /usr/bin/python3. For each
# other, the first usable of: QX_PYTHON_3_12 (and so on) when set, the only
# one tried then; /usr/bin/python3.12; a sid version's in the sid root
# (sid:/usr/bin/python3.14, run there); the newest patch release under
# pyenv's versions/ or the cache python-build.sh builds into. Never PATH's.


def candidates(version: str) -> list[str]:
    if version == DEBIAN_VERSION:
        return [DEBIAN_PYTHON]
    named = os.environ.get(python_var(version))
    if named:
        return [named]
    found = [f"/usr/bin/python{version}"]
    if version in SID_VERSIONS and not IN_SID_ROOT:
        return found + [f"sid:/usr/bin/python{version}"]
    base, ft = version.rstrip("t"), "t" if version.endswith("t") else ""
    home = os.environ.get("HOME") or "/root"
    roots = [
        os.environ.get("PYENV_ROOT", ""),
        f"{home}/.pyenv",
        os.environ.get("QX_PYTHON_CACHE") or f"{home}/.cache/quendrix-python",
    ]
    builds = set()
    for root in filter(None, roots):
        if os.path.isdir(f"{root}/versions"):
            root = f"{root}/versions"
        for d in glob.glob(f"{glob.escape(root)}/{base}.*{ft}"):
            name = os.path.basename(d)
            if re.fullmatch(rf"{re.escape(base)}\.[0-9]+{ft}", name):
                builds.add((name, f"{d}/bin/python3" if not ft else f"{d}/bin/python{version}"))
    return found + [path for _, path in sorted(builds, key=lambda b: (version_key(b[0]), b[1]), reverse=True)]


def sid_root() -> str | None:
    done = subprocess.run(["bash", str(ROOT / "scripts/sid-root.sh"), "path"], capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else None


CHECK_INTERPRETER = """
import os, runpy, sys, sysconfig
have = runpy.run_path(sys.argv[2])["VERSION_LINE"]
if have != sys.argv[1]:
    sys.exit(f"{sys.executable} is Python {have}")
include = sysconfig.get_paths()["include"]
if not os.path.isfile(os.path.join(include, "Python.h")):
    sys.exit(f"{sys.executable} has no headers ({include}/Python.h)")
"""


def problem(python: str, version: str) -> str:
    """Why an interpreter cannot be built against ("" if it can)."""
    if python.startswith("sid:"):
        # Not runnable here: making the root checked it runs; its files tell the rest.
        root = sid_root()
        if root is None:
            return "the sid root is not made (bash scripts/sid-root.sh make)"
        path = python.removeprefix("sid:")
        problems = []
        if not os.access(root + path, os.X_OK):
            problems.append(f"the sid root has no {path}")
        if not os.path.isfile(f"{root}/usr/include/python{version}/Python.h"):
            problems.append(f"the sid root has no headers of Python {version}")
        return "; ".join(problems)
    if not (os.path.isfile(python) and os.access(python, os.X_OK)):
        return f"{python} is not an executable file"
    done = subprocess.run(
        [python, "-", version, str(ROOT / "tests/interpreter_facts.py")],
        input=CHECK_INTERPRETER,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    return done.stdout.strip()


def find_pythons(versions: list[str]) -> tuple[dict[str, str], dict[str, str]]:
    """The interpreter of each version found, and a line for each missing one."""
    found, missing = {}, {}
    for version in versions:
        tried = []
        for candidate in candidates(version):
            if not candidate.startswith("sid:") and not os.path.exists(candidate):
                tried.append(f"no {candidate}")
                continue
            why = problem(candidate, version)
            if not why:
                found[version] = candidate
                break
            tried.append(why)
        else:
            var = python_var(version)
            if version != DEBIAN_VERSION and not os.environ.get(var) and version not in SID_VERSIONS:
                tried.append(f"no pyenv versions/{version}.*")
            missing[version] = f"{version}: not found ({'; '.join(tried)}; set {var}=/path/to/python{version})"
    return found, missing


def find_shell(versions: list[str]) -> int:
    found, missing = find_pythons(versions)
    for version, python in found.items():
        print(f"{python_var(version)}={shlex.quote(python)}; export {python_var(version)}")
    print(f"QX_FOUND_PYTHONS={shlex.quote(' '.join(found))}; export QX_FOUND_PYTHONS")
    print(f"QX_MISSING_PYTHONS={shlex.quote(''.join(line + chr(10) for line in missing.values()))}")
    return 0


# ---------------------------------------------------------------------------
# The run.


def fmt_time(seconds: float) -> str:
    s = int(seconds)
    return f"{s // 60} min {s % 60:02d} s" if s >= 60 else f"{s} s"


class Skipped(Exception):
    pass


class Run:
    def __init__(self) -> None:
        self.found: dict[str, str] = {}
        self.missing: dict[str, str] = {}
        required = os.environ.get("QX_REQUIRE_PYTHONS", "")
        self.required = SUPPORTED if required == "all" else required.split()
        for version in self.required:
            if version not in SUPPORTED:
                print(f"QX_REQUIRE_PYTHONS names {version}; supported: {' '.join(SUPPORTED)}", file=sys.stderr)
                sys.exit(2)
        if required == "all":
            # The checks read it too.
            os.environ["QX_REQUIRE_PYTHONS"] = " ".join(SUPPORTED)

    def find(self) -> None:
        self.found, self.missing = find_pythons(SUPPORTED)
        for version, python in self.found.items():
            # The checks and the presets use the same ones.
            os.environ[python_var(version)] = python
        os.environ["QX_FOUND_PYTHONS"] = " ".join(self.found)

    def debug_python(self, version: str) -> str:
        """The debug build the tests use for a version: Debian's own, sid's."""
        if version == DEBIAN_VERSION:
            return DEBUG_PYTHON
        if version in SID_VERSIONS and version in self.found:
            return self.found[version] + "d"
        return ""

    # Stages: each returns normally (passed), raises Skipped, or fails
    # (a non-zero exit of what it ran, or any other exception).

    def packages(self) -> None:
        deps("qx_install_deps", capture=False)
        print(f"Debian packages present: {len(SETTINGS['QX_APT_PACKAGES'].split())} (scripts/deps.sh)")
        self.find()
        # Versions no package provides (3.13t, and 3.13 on a machine without
        # it) and the ThreadSanitizer builds: built once, then cached.
        sid_missing = False
        for version in self.missing:
            if version in SID_VERSIONS:
                sid_missing = True
            elif version.rstrip("t") == SETTINGS["QX_NEWEST_SOURCE_SERIES"]:
                if subprocess.run(["bash", str(ROOT / "scripts/python-build.sh"), version],
                                  stdout=subprocess.DEVNULL).returncode != 0:
                    print(f"could not build Python {version}", file=sys.stderr)
        if sid_missing and not IN_SID_ROOT:
            if subprocess.run(["bash", str(ROOT / "scripts/sid-root.sh"), "make"],
                              stdout=subprocess.DEVNULL).returncode != 0:
                print("could not make the sid root", file=sys.stderr)
        for version in FREE_THREADED:
            if subprocess.run(["bash", str(ROOT / "scripts/python-build.sh"), f"{version}-tsan"],
                              stdout=subprocess.DEVNULL).returncode != 0:
                print(f"could not build Python {version}-tsan", file=sys.stderr)
        self.find()
        for version in FREE_THREADED:
            print(f"ThreadSanitizer build of {version}: {self.tsan_python(version) or 'missing'}")
        if SID_VERSIONS:
            print(f"sid root of {' '.join(SID_VERSIONS)}: {sid_root() or 'missing'}")
        pythons = [p for v in self.found for p in (self.found[v], self.debug_python(v)) if p]
        for python in pythons:
            try:
                tools = deps(f"qx_tools_python {shlex.quote(python)}")
            except RuntimeError:
                tools = ""  # said on stderr; the trees of that interpreter fail
            print(f"Python tools for {python}: {tools}", flush=True)

    def tsan_python(self, version: str) -> str:
        done = subprocess.run(["bash", str(ROOT / "scripts/python-build.sh"), f"{version}-tsan"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        return done.stdout.strip() if done.returncode == 0 else ""

    def ctest(self, version: str, preset: str, python: str) -> None:
        """A tree's build and ctest by its preset, where its interpreter runs."""
        if not python:
            print(self.missing.get(version, f"{version}: not found"))
            if version in self.required:
                raise RuntimeError(f'required (QX_REQUIRE_PYTHONS="{" ".join(self.required)}"): failing')
            raise Skipped
        if python.startswith("sid:"):
            command = ["bash", "scripts/sid-root.sh", "run", "bash", "scripts/ctest-tree.sh", preset, python[4:]]
        else:
            command = ["bash", str(ROOT / "scripts/ctest-tree.sh"), preset, python]
        subprocess.run(command, cwd=ROOT, check=True)

    def stages(self) -> list[tuple[str, object]]:
        stages: list[tuple[str, object]] = [("packages (apt), interpreters, tools (PyPI)", self.packages)]
        for version in SUPPORTED:
            preset = "default" if version == DEBIAN_VERSION else version.replace(".", "")
            tree = "build/" if preset == "default" else f"build-{preset}/"
            stages.append((f"ctest {version} ({tree})",
                           lambda v=version, p=preset: self.ctest(v, p, self.found.get(v, ""))))
            if version == DEBIAN_VERSION:
                stages.append((f"ctest {version} debug (build-dbg/)", lambda v=version: self.ctest(v, "dbg", DEBUG_PYTHON)))
                # A second compiler: what GCC accepts and others refuse fails here first.
                stages.append((f"ctest {version} clang (build-clang/)",
                               lambda v=version: self.ctest(v, "clang", self.found.get(v, ""))))
            elif version in SID_VERSIONS:
                # Sid's debug build, whose assertions catch reference-count errors.
                stages.append((f"ctest {version} debug (build-{preset}-dbg/)",
                               lambda v=version, p=preset: self.ctest(v, f"{p}-dbg", self.debug_python(v))))
        for check in sorted((ROOT / "scripts/checks").glob("*.sh")):
            stages.append((f"check {check.stem}", lambda c=check: subprocess.run(["bash", str(c)], check=True)))
        return stages


def selected(selectors: list[str], stages: list[tuple[str, object]]) -> list[int]:
    if not selectors:
        return list(range(len(stages)))
    chosen = set()
    for selector in selectors:
        if m := re.fullmatch(r"(\d+)(?:-(\d+))?", selector):
            first, last = int(m[1]), int(m[2] or m[1])
            picked = [i for i in range(len(stages)) if first <= i + 1 <= last]
        else:
            picked = [i for i, (name, _) in enumerate(stages) if selector in name]
        if not picked:
            sys.exit(f"no stage matches {selector!r} (qx_test.py --list)")
        chosen.update(picked)
    return sorted(chosen)


def main(argv: list[str]) -> int:
    if argv[:1] == ["find-shell"]:
        return find_shell(argv[1:])
    # The caller's settings must not change what the tests see.
    for name in ("PYTHONPATH", "PYTHONHOME", "PYTHONUSERBASE", "PYTEST_ADDOPTS"):
        os.environ.pop(name, None)
    os.environ["QX_ROOT"] = str(ROOT)
    run = Run()
    stages = run.stages()
    total = len(stages)
    if argv[:1] == ["--list"]:
        for i, (name, _) in enumerate(stages):
            print(f"[{i + 1}/{total}] {name}")
        return 0
    chosen = selected(argv, stages)
    summary, failed, skipped, passed = [], [], [], 0
    run_start = time.monotonic()
    found_shown = False
    for i in chosen:
        name, action = stages[i]
        if not found_shown and i > 0:
            show_found(run)
            found_shown = True
        print(f"\n[{i + 1}/{total}] {name}", flush=True)
        start = time.monotonic()
        try:
            action()
            status = "passed"
            passed += 1
        except (Skipped, subprocess.CalledProcessError) as e:
            # What a stage runs exits 3 for "skipped".
            if isinstance(e, subprocess.CalledProcessError) and e.returncode != 3:
                status = "FAILED"
                failed.append(name)
            else:
                status = "skipped"
                skipped.append(name)
        except Exception as e:  # a stage's failure ends that stage only
            print(e)
            status = "FAILED"
            failed.append(name)
        line = f"{f'[{i + 1}/{total}]':<7} {name:<44} {status:<8} {fmt_time(time.monotonic() - start)}"
        print(line, flush=True)
        summary.append(line)
    if not found_shown:
        show_found(run)

    print("\n== summary")
    print("\n".join(summary))
    print(f"total: {fmt_time(time.monotonic() - run_start)}")
    covered = [f"{v} (and {v}d)" if run.debug_python(v) else v for v in run.found]
    print(f"Python versions covered: {', '.join(covered)}")
    if run.missing:
        for version, line in run.missing.items():
            kind = "REQUIRED but missing" if version in run.required else "skipped"
            print(f"Python version {kind}: {line}")
    else:
        print("Python versions skipped: none")
    if len(chosen) < total:
        print(f"stages not selected: {total - len(chosen)} of {total}")
    if failed:
        print(f"FAILED: {'; '.join(failed)}")
    else:
        print("all tests and checks passed" if len(chosen) == total else "all selected stages passed")
    print(f"stages: {passed} passed, {len(failed)} failed, {len(skipped)} skipped")
    return 1 if failed else 0


def show_found(run: Run) -> None:
    run.find()
    print(f"\nPython versions found: {' '.join(run.found)}")
    for version, python in run.found.items():
        debug = run.debug_python(version)
        print(f"  {version}: {python}" + (f" (and {debug})" if debug else ""))
    for line in run.missing.values():
        print(f"  {line}")
    if run.required:
        print(f"Required (QX_REQUIRE_PYTHONS): {' '.join(run.required)}")
    sys.stdout.flush()


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(main(sys.argv[1:]))
