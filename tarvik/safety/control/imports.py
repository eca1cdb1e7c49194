# The module's imports: its initialisation runs them in its own namespace,
# as the from-import statements they are, so that the import hook, the
# module table, the ImportError of a missing name and the submodule
# fallback are all the interpreter's own. setup.py compiles them when the
# module is built, since CPython 3.11's compiler can crash when it runs out
# of memory, and an import must not.
from typing import Any, Dict, Tuple
from .errors import SafetyError
from .family import _normalize_family_spec, _normalize_link_value
