"""Checks a built wheel: the four extension modules, the Python packages, the bundled corpus
with its license, both license files, no C++ sources.

    python scripts/check_wheel.py dist/quorvex-*.whl
"""

import sys
import zipfile

REQUIRED = [
    "quorvex/__init__.py",
    "quorvex/storage.py",
    "quorvex/tagger/__init__.py",
    "quorvex/tagger/cli.py",
    "quorvex/tagger/data/en_ewt-ud-dev.conllu.xz",
    "quorvex/tagger/data/LICENSE.txt",
]
MODULES = ["sparsmat", "alphabet", "feature", "learn"]


def check(path):
    names = zipfile.ZipFile(path).namelist()
    problems = [f"missing {n}" for n in REQUIRED if n not in names]
    for m in MODULES:
        if not any(n.startswith(f"quorvex/{m}.") and n.endswith((".so", ".pyd")) for n in names):
            problems.append(f"missing the extension module quorvex.{m}")
    problems += [f"source file {n}" for n in names if n.endswith((".cpp", ".h", "CMakeLists.txt"))]
    licenses = [n for n in names if ".dist-info/licenses/" in n]
    if len(licenses) < 2:
        problems.append(f"license files: {licenses}")
    for p in problems:
        print(f"{path}: {p}")
    print(f"{path}: {len(names)} files, {'OK' if not problems else 'FAILED'}")
    return not problems


if __name__ == "__main__":
    sys.exit(0 if all([check(p) for p in sys.argv[1:]]) and len(sys.argv) > 1 else 1)  # noqa: C419 (check every wheel)
