"""Build step for pip and python3 -m build: the extension is built by the
project's own CMake description (the only list of sources), then copied to
where setuptools packs it. Metadata lives in pyproject.toml."""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

ROOT = Path(__file__).resolve().parent
EXTENSION = "quendrix.core.enums.weekdays"


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("cmake not found on PATH: install it (Debian: apt-get install cmake g++)")
        # One CMake tree per setuptools build directory; pip reuses it across
        # in-tree builds, and CMake reconfigures it for another interpreter.
        tree = Path(self.build_temp).resolve() / "cmake"
        build_type = "Debug" if self.debug else "RelWithDebInfo"
        configure = [
            cmake, "-S", str(ROOT), "-B", str(tree),
            # The interpreter running this build, not whatever python3 PATH
            # finds: a venv's interpreter builds for that venv.
            f"-DQX_PYTHON={sys.executable}",
            "-DQX_BUILD_TESTS=OFF",
            "-DQX_BUILD_BENCH=OFF",
            "-DQX_SANITIZE=OFF",
            f"-DCMAKE_BUILD_TYPE={build_type}",
        ]
        jobs = self.parallel or os.cpu_count() or 1
        self._run(configure)
        self._run([cmake, "--build", str(tree), "--target", "weekdays", "-j", str(jobs)])

        # CMake names the file with the interpreter's own suffix, as setuptools does.
        built = tree / "python" / Path(*EXTENSION.split(".")[:-1]) / (
            "weekdays" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.is_file():
            raise RuntimeError(f"CMake did not produce {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)

    def _run(self, command):
        print(" ".join(command), flush=True)
        subprocess.run(command, check=True)


class Install(install):
    """Debian's setuptools (the one offline installs use, under every Python
    version) reads install_layout and prefix_option from the install
    command: options of Debian's own distutils. Python 3.12 and later have
    no distutils, so they are given their defaults here."""

    def initialize_options(self):
        super().initialize_options()
        for name in ("install_layout", "prefix_option"):
            if not hasattr(self, name):
                setattr(self, name, None)


setup(
    # No sources here: CMake globs them.
    ext_modules=[Extension(EXTENSION, sources=[])],
    cmdclass={"build_ext": CMakeBuild, "install": Install},
    # Keeps setuptools' files out of the CMake tree build/ that the tests use.
    # The wheel's staging directory is per interpreter too: what a failed
    # build for one version leaves there must not end up in another's wheel.
    options={"build": {"build_base": "build-setuptools"},
             "bdist": {"bdist_base": f"build-setuptools/bdist.{sysconfig.get_platform()}-"
                                     f"{sys.implementation.cache_tag}"}},
)
