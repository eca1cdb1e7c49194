"""Which copy of tarvik.safety.control the test suite and the benchmark use.

The one the interpreter imports, when that is a built module: the build that
scripts/sanitize.sh or scripts/general.sh puts first on the path, an
installed copy, or the in-place build when run from this clone's root
(`python -m pytest`). Otherwise (the `pytest` command, or bench/bench.py,
with no built module on the path) this clone's root goes first on the path,
for its in-place build.
"""

import importlib.machinery
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def finds_built_module() -> bool:
    """Whether importing tarvik.safety.control would load a built module.

    Looked up without importing anything: the package's own code does not
    run, so the path can still be changed afterwards.
    """
    locations = None
    for name in ("tarvik", "tarvik.safety", "tarvik.safety.control"):
        spec = importlib.machinery.PathFinder.find_spec(name, locations)
        if spec is None:
            return False
        locations = spec.submodule_search_locations
    return isinstance(spec.loader, importlib.machinery.ExtensionFileLoader)


def use_clone_unless_built() -> None:
    if not finds_built_module():
        sys.path.insert(0, str(ROOT))
