"""Every SafetyError message of tarvik.safety.control, read from the C++
literals that the module raises (tarvik/safety/control/messages.hpp), under
their names there: the model, the workloads and the tests take their texts
from here, so that a wording is written once in the code, and once more in
the README for its readers.

`{}` is what the module fills in: a key, a value as the caller gave it, or
a list of keys or choices (sorted, joined with ", ": `listed`). A message
that lists a section's keys takes them in the order its name says:
inla_unsupported and vb_unsupported the allowed keys first, then the
unsupported ones; compute_unsupported the other way round. choice_not_text
and choice_refused are those of control['inla']['strategy'] and
['int.strategy']: the setting's name, then (when refused) its sorted choices
and the value.
"""

import re
from pathlib import Path

_SOURCE = Path(__file__).resolve().parent.parent / "tarvik/safety/control/messages.hpp"
# inline constexpr Message name{"text"};  or  KeysMessage name{{"text"}, ...}
_LITERAL = re.compile(r'^inline constexpr (?:Keys)?Message (\w+)\{\{?"((?:[^"\\]|\\.)*)"', re.M)

MESSAGES = {name: text.encode().decode("unicode_escape")
            for name, text in _LITERAL.findall(_SOURCE.read_text(encoding="utf-8"))}
globals().update(MESSAGES)


def listed(names):
    """Names as the messages list them: sorted by code point, joined with ", "."""
    return ", ".join(sorted(names))
