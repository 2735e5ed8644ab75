"""An installed copy of the package remembers the build tree of the source it came from, so that it
finds libvesk_core.so there without VESK_LIBRARY (it looks there after VESK_LIBRARY and the
package's own folder)."""

import os

from setuptools import setup
from setuptools.command.build_py import build_py


class BuildPy(build_py):
    def run(self) -> None:
        super().run()
        tree = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "release"))
        target = os.path.join(self.build_lib, "vesk", "_build_tree.py")
        with open(target, "w", encoding="utf-8") as f:
            f.write(f"BUILD_TREE = {tree!r}\n")


setup(cmdclass={"build_py": BuildPy})
