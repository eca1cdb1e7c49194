"""The README's messages and lists are the module's own: every row of its
message table is what some refused input raises, and every refusal has its
row; the rows and the messages of bench/messages.py go one to one. `{}` in a
row stands for the part the module fills in."""

import ast
import re
import sys
from pathlib import Path

import pytest

from tarvik.safety.control import enforce_compute_section, enforce_control_structure
from tarvik.safety.errors import SafetyError

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import messages  # noqa: E402
import reference  # noqa: E402
import workloads  # noqa: E402

README = (ROOT / "README.md").read_text()


def section(title):
    return README.split("\n## " + title + "\n", 1)[1].split("\n## ", 1)[0]


MESSAGES = section("Messages")
PREFIX = re.search(r'Every message starts with "([^"]+)"', MESSAGES).group(1)
# (entry, message after the prefix, note after it)
ROWS = re.findall(r"^\| (\w+) \| `([^`]+)`(.*) \|$", MESSAGES, re.M)


def pattern(template):
    return re.compile("(.*)".join(map(re.escape, template.split("{}"))), re.S)


def refusal(control, families=(), check="structure"):
    """The message a call with this control raises, after the prefix."""
    kwargs = {"control": control}
    with pytest.raises(SafetyError) as caught:
        if check == "structure":
            enforce_control_structure(kwargs, families)
        else:
            enforce_compute_section(kwargs)
    text = str(caught.value)
    assert text.startswith(PREFIX)
    return text[len(PREFIX):]


def workload_refusal(workload):
    (check,) = workload.expected
    return refusal(workload.kwargs["control"], workload.families, check)


def row_of(text):
    """The row of a message: of those it matches, the one with the most
    fixed text (the general choice row also matches the control_vb ones)."""
    fixed = sorted((len(row[1].replace("{}", "")), row) for row in ROWS if pattern(row[1]).fullmatch(text))
    assert fixed, "no row for: " + text
    assert len(fixed) == 1 or fixed[-1][0] > fixed[-2][0], fixed
    return fixed[-1][1]


@pytest.mark.parametrize("workload", workloads.REFUSED, ids=lambda workload: workload.name)
def test_each_refusal_has_its_row(workload):
    row_of(workload_refusal(workload))


def test_each_row_is_raised_and_the_model_raises_no_other():
    raised = {row_of(workload_refusal(workload)) for workload in workloads.REFUSED}
    assert not raised - set(ROWS), "rows missing from the README's Messages table"
    assert not set(ROWS) - raised, "no refused call of bench/workloads.py raises these rows"
    # One row for each message the plain-Python model of the checks raises
    # (the property tests hold the module to that model).
    model = ast.parse((ROOT / "bench" / "reference.py").read_text())
    raises = [node for node in ast.walk(model)
              if isinstance(node, ast.Raise) and ast.unparse(node.exc).startswith("SafetyError(")]  # fmt: skip
    assert len(raises) == len(ROWS)


# The messages by name, and the lists of allowed keys that the rows show in full.
TEXTS = {name: text for name, text in vars(messages).items() if isinstance(text, str) and name[0] != "_"}
KEY_LISTS = {messages.listed(keys) for keys in (reference.INLA_KEYS, reference.CONTROL_VB_KEYS,
                                                reference.COMPUTE_SWITCHES)}


def shows(row, text):
    """Whether a row shows this message: its text after the prefix, each hole
    left as `{}` or filled with a list of allowed keys."""
    found = text.startswith(PREFIX) and pattern(text[len(PREFIX):]).fullmatch(row[1])
    return bool(found) and all(part == "{}" or part in KEY_LISTS for part in found.groups())


def test_each_message_has_one_row_and_each_row_one_message():
    pairs = [(row, name) for row in ROWS for name in TEXTS if shows(row, TEXTS[name])]
    assert sorted(name for _, name in pairs) == sorted(TEXTS)
    assert sorted(row for row, _ in pairs) == sorted(ROWS)


# Rows whose note names the settings they cover, each with its choices:
# " (`a` or `b`)", or " (`a`: x, y; `b`: z)" (README, below the table).
NOTED = [row for row in ROWS if row[2].strip()]
NAMED = r"`[^`]+`(?:: [^;)]+)?"
NOTE = re.compile(r" \({0}(?:(?: or |; ){0})+\)".format(NAMED))


def noted_workload(row):
    """The one refused workload of a noted row, a control['inla'] of one setting."""
    _, template, note = row
    where = "README.md, Messages row `{}`: ".format(template)
    if not NOTE.fullmatch(note):
        pytest.fail(where + "cannot read its note {!r}: a note names two or more settings of "
                    "control['inla'], as ' (`a` or `b`)' or, with their choices, ' (`a`: x, y; `b`: z)'"
                    .format(note))  # fmt: skip
    found = [w for w in workloads.REFUSED if row_of(workload_refusal(w)) == row]
    control = found[0].kwargs["control"] if len(found) == 1 else {}
    if list(control) != ["inla"] or len(control["inla"]) != 1:
        pytest.fail(where + "a noted row needs one refused workload in bench/workloads.py whose "
                    "control is {'inla': {setting: value}}; found " + ", ".join(w.name for w in found))  # fmt: skip
    return found[0]


@pytest.mark.parametrize("row", NOTED, ids=lambda row: row[1])
def test_settings_and_choices_of_a_note(row):
    # The refused input of the row, given to each setting the note names.
    _, template, note = row
    workload = noted_workload(row)
    ((_, value),) = workload.kwargs["control"]["inla"].items()
    names = re.findall(r"`([^`]+)`", note)
    choices = dict(re.findall(r"`([^`]+)`: ([^;)]+)", note))
    assert len(names) >= 2
    for name in names:
        filled = pattern(template).fullmatch(refusal({"inla": {name: value}})).groups()
        assert filled[0] == name
        if choices:
            assert filled[1] == choices[name]


def test_compute_switches_of_the_public_api():
    listed = re.search(r"the switches ([^.]*?), each", section("Public API")).group(1)
    readme = re.split(r", | and ", " ".join(listed.split()))
    text = refusal({"compute": {"?": True}}, check="compute")
    assert PREFIX + text == messages.compute_unsupported.format("?", ", ".join(readme))


def test_opening_example_runs_as_shown():
    import doctest

    example = README.split("```python\n", 1)[1].split("```", 1)[0]
    test = doctest.DocTestParser().get_doctest(example, {}, "README", "README.md", 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False) == (0, len(test.examples))
