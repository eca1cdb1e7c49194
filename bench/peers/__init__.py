"""The validators the package's developers would pick instead of the module,
each given the same rules as its own users write them, for the benchmark.

Each peer is a pair of functions with the module's signatures that return
None or raise SafetyError with the peer's own message (which carries the
module's words where the rule is Python code called by the peer). They do not
test their arguments' types, which the module refuses with TypeError: the
benchmark and the agreement test give them a dict and a tuple.

The peers come from the dependency group `peers` of pyproject.toml (`make
bench-peers` installs it); nothing else in the project imports them.
"""

from importlib.metadata import version
from typing import Any, Callable, List, NamedTuple


class Peer(NamedTuple):
    name: str
    version: str
    enforce_control_structure: Callable[..., None]
    enforce_compute_section: Callable[[Any], None]


def load() -> List[Peer]:
    """Every peer, in the order of the tables; ImportError when one is
    missing."""
    from peers import with_json_schema, with_msgspec, with_pydantic

    return [
        Peer(name, version(name), module.enforce_control_structure, module.enforce_compute_section)
        for name, module in (
            ("pydantic", with_pydantic),
            ("msgspec", with_msgspec),
            ("fastjsonschema", with_json_schema.fastjsonschema_checks),
            ("jsonschema", with_json_schema.jsonschema_checks),
        )
    ]
