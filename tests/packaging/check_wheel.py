"""Checks a built wheel for the interpreter running this script: the package,
stub and marker, exactly one extension, named for this interpreter, and tags
for this interpreter's version on the expected platform ("linux" for a wheel
as built, "manylinux" for one repaired by auditwheel). Prints the tags.
Usage: python check_wheel.py WHEEL linux|manylinux"""
import sys
import sysconfig
import zipfile
from pathlib import Path

# The facts about the running interpreter (tests/interpreter_facts.py).
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import interpreter_facts as facts  # noqa: E402

wheel, platform = Path(sys.argv[1]), sys.argv[2]
extension = "quendrix/core/enums/weekdays" + sysconfig.get_config_var("EXT_SUFFIX")
with zipfile.ZipFile(wheel) as archive:
    names = set(archive.namelist())
    info = [n for n in names if n.endswith(".dist-info/WHEEL")]
    tags = [line.split(":", 1)[1].strip() for line in archive.read(info[0]).decode().splitlines()
            if line.startswith("Tag:")] if info else []
need = {"quendrix/__init__.py", "quendrix/py.typed", "quendrix/core/__init__.py",
        "quendrix/core/enums/__init__.py", "quendrix/core/enums/weekdays.pyi", extension}
problems = []
if need - names:
    problems.append(f"lacks {sorted(need - names)}")
if others := [n for n in names if n.endswith(".so") and n != extension]:
    problems.append(f"has other extensions {others}")
prefix = f"{facts.WHEEL_PYTHON_TAG}-{facts.WHEEL_ABI_TAG}-{platform}"
if not tags or any(not t.startswith(prefix) for t in tags):
    problems.append(f"tags {tags}; expected {prefix}*")
if not all(t.split("-", 2)[2] in wheel.name for t in tags):
    problems.append(f"file name {wheel.name} does not carry the tags {tags}")
if problems:
    sys.exit(f"{wheel.name}: " + "; ".join(problems))
print(f"{wheel.name}: tags {', '.join(tags)}; {len(names)} files")
