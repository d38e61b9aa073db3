"""The package as a user meets it once installed with pip: run by
scripts/checks/60-packaging.sh with the interpreter of the virtual
environment it installed into, from a directory outside the source tree.

QX_INSTALL_MODE says how it was installed: "site" (pip install . or a wheel:
the files live in the environment's site-packages) or "editable" (pip install
-e: the Python files are those of QX_INSTALL_SOURCE/python, the compiled
module lives in site-packages). QX_SOURCE_ROOT is the tree whose README is
checked.
"""
import doctest
import json
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SOURCE_ROOT = Path(os.environ.get("QX_SOURCE_ROOT", HERE.parent.parent))
MODE = os.environ.get("QX_INSTALL_MODE", "site")
MODULE = "quendrix.core.enums.weekdays"
# The facts about the running interpreter (tests/interpreter_facts.py).
sys.path.insert(0, str(HERE.parent))
import interpreter_facts as facts  # noqa: E402

# Where mypy publishes wheels it must be there; elsewhere its tests skip.
needs_mypy = pytest.mark.skipif(not facts.MYPY_HAS_WHEELS, reason="mypy has no wheel for this interpreter")

def run(args, tmp_path, **kwargs):
    """Runs a command from a scratch directory, so nothing is found by
    accident in the current directory."""
    return subprocess.run(args, cwd=tmp_path, capture_output=True, text=True, timeout=300, **kwargs)


def mypy(tmp_path, *args):
    return run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / ".mypy_cache"), *args], tmp_path)


def readme_python_blocks():
    text = (SOURCE_ROOT / "README.md").read_text()
    return [m.group(1) for m in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M)]


def readme_programs():
    return [b for b in readme_python_blocks() if not b.lstrip().startswith(">>>")]


def test_import_finds_the_installed_package(tmp_path):
    proc = run([sys.executable, "-c", f"import quendrix, {MODULE} as m; print(m.__file__); print(quendrix.__file__)"],
               tmp_path)
    assert proc.returncode == 0, proc.stderr
    extension, package = map(Path, proc.stdout.split())
    assert extension.name == "weekdays" + sysconfig.get_config_var("EXT_SUFFIX")
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    assert extension.resolve().is_relative_to(site), (extension, site)
    if MODE == "editable":
        source = Path(os.environ["QX_INSTALL_SOURCE"]).resolve() / "python"
        assert package.resolve().is_relative_to(source), (package, source)
    else:
        assert package.resolve().is_relative_to(site), (package, site)


def test_stub_and_marker_ship_next_to_the_module():
    import quendrix
    import quendrix.core.enums

    # Beside the package's Python files (an editable install keeps the
    # compiled module elsewhere).
    assert (Path(quendrix.__file__).parent / "py.typed").is_file()
    assert Path(quendrix.core.enums.__file__).with_name("weekdays.pyi").is_file()


def test_metadata_follows_the_version_list():
    from importlib.metadata import metadata

    listed = [line.split("#")[0].strip() for line in (SOURCE_ROOT / "python-versions.txt").read_text().splitlines()]
    # A free-threaded line (3.13t) is a build of a listed version, with wheels of its own tag.
    listed = [v for v in listed if v and not v.endswith("t")]
    meta = metadata("quendrix-weekdays")
    versions = [c.rsplit(" :: ", 1)[1] for c in meta.get_all("Classifier")
                if c.startswith("Programming Language :: Python :: 3.")]
    assert versions == listed
    major, minor = map(int, listed[-1].split("."))
    assert sorted(meta["Requires-Python"].split(",")) == [f"<{major}.{minor + 1}", f">={listed[0]}"]


def test_module_works(tmp_path):
    from quendrix.core.enums.weekdays import Friday, Weekdays

    assert Friday is Weekdays.Friday and Friday == 6
    assert [m.value for m in Weekdays] == list(range(1, 8))


@needs_mypy
def test_stubtest_agrees_with_the_module(tmp_path):
    proc = run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, MODULE], tmp_path)
    print(proc.stdout, proc.stderr)
    assert proc.returncode == 0


@needs_mypy
def test_mypy_accepts_a_program_using_the_members(tmp_path):
    program = HERE / "uses_members.py"
    proc = mypy(tmp_path, "--strict", str(program))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # It runs as well.
    proc = run([sys.executable, str(program)], tmp_path)
    assert proc.returncode == 0, proc.stderr


def test_basedpyright_accepts_a_program_using_the_members(tmp_path):
    # Its assert_type lines pin the same types for a checker that infers
    # from the stub by other rules than mypy's.
    checker = os.environ.get("QX_BASEDPYRIGHT")
    if not checker:
        pytest.skip("QX_BASEDPYRIGHT names no basedpyright (the packaging check runs it once, the stub "
                    "being the same for every version)")
    proc = run([checker, "--pythonpath", sys.executable, "--outputjson", str(HERE / "uses_members.py")], tmp_path)
    assert proc.stdout, proc.stderr
    report = json.loads(proc.stdout)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    # An editable install keeps the stub in the source tree and the compiled
    # module in site-packages; basedpyright wants both in one place.
    if MODE == "editable":
        errors = [d for d in errors if d.get("rule") != "reportMissingModuleSource"]
    assert report["summary"]["filesAnalyzed"] == 1 and not errors, proc.stdout


@needs_mypy
def test_mypy_rejects_misspelt_members(tmp_path):
    proc = mypy(tmp_path, str(HERE / "misspelt_member.py"))
    assert proc.returncode == 1, proc.stdout + proc.stderr
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 2, proc.stdout
    assert 'has no attribute "Fryday"' in errors[0]
    assert 'has no attribute "Tusday"' in errors[1]


def test_readme_has_examples():
    blocks = readme_python_blocks()
    assert any(b.lstrip().startswith(">>>") for b in blocks)
    assert readme_programs()


def test_readme_session_examples_run_as_shown():
    for block in readme_python_blocks():
        if not block.lstrip().startswith(">>>"):
            continue
        test = doctest.DocTestParser().get_doctest(block, {}, "README", "README.md", 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        assert runner.failures == 0, block


@pytest.mark.parametrize("index", range(len(readme_programs())))
def test_readme_programs_run(tmp_path, index):
    program = tmp_path / f"readme_example_{index}.py"
    program.write_text(readme_programs()[index])
    proc = run([sys.executable, str(program)], tmp_path)
    assert proc.returncode == 0, proc.stderr


@needs_mypy
@pytest.mark.parametrize("index", range(len(readme_programs())))
def test_readme_programs_type_check(tmp_path, index):
    program = tmp_path / f"readme_example_{index}.py"
    program.write_text(readme_programs()[index])
    proc = mypy(tmp_path, "--strict", str(program))
    assert proc.returncode == 0, proc.stdout + proc.stderr
