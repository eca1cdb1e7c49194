"""Module identity, namespace, one-time initialisation and sibling imports."""
import builtins
import importlib
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import typing

import messages
import pytest

from tarvik.safety import control, errors, family

NAMES = ["Any", "Dict", "Tuple", "SafetyError", "_normalize_family_spec",
         "_normalize_link_value", "enforce_control_structure", "enforce_compute_section"]
# Directory holding the imported `tarvik` package (source tree or sanitizer build).
ROOT = str(pathlib.Path(control.__file__).resolve().parents[2])


def run_python(code):
    """Run code in a fresh interpreter that imports this same package."""
    proc = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True,
                          text=True, timeout=600)  # guards against a hang only
    assert proc.returncode == 0 and proc.stdout.endswith("done\n"), proc.stdout + proc.stderr


def public_names(module):
    return [name for name in vars(module) if not name.startswith("__")]


def test_identity_and_namespace():
    assert control.__name__ == "tarvik.safety.control"
    assert control.__doc__ == "Control structure validation."
    assert control.__builtins__ is builtins
    assert sorted(public_names(control)) == sorted(NAMES)
    assert (control.Any, control.Dict, control.Tuple) == (typing.Any, typing.Dict, typing.Tuple)
    assert control.SafetyError is errors.SafetyError
    assert control._normalize_family_spec is family._normalize_family_spec
    assert control._normalize_link_value is family._normalize_link_value


def test_binding_order_in_a_fresh_process():
    # Other tests rebind SafetyError, which moves it in this process's namespace.
    run_python(f"""if 1:
        import tarvik.safety.control as control
        assert [n for n in vars(control) if not n.startswith('__')] == {NAMES!r}
        print('done')""")


def test_imported_once_per_process(monkeypatch):
    order = public_names(control)
    before = {name: getattr(control, name) for name in NAMES + ["__builtins__"]}
    assert importlib.import_module("tarvik.safety.control") is control
    assert importlib.reload(control) is control
    assert importlib.util.module_from_spec(control.__spec__) is control
    monkeypatch.delitem(sys.modules, "tarvik.safety.control")
    assert importlib.import_module("tarvik.safety.control") is control
    assert all(getattr(control, name) is value for name, value in before.items())
    assert public_names(control) == order and control.__doc__ == "Control structure validation."


def test_missing_sibling_name_fails_and_a_later_import_starts_over():
    run_python(f"""if 1:
        import sys, types
        import tarvik.safety.family as real
        fake = sys.modules['tarvik.safety.family'] = types.ModuleType('tarvik.safety.family')
        fake._normalize_family_spec = real._normalize_family_spec
        try:
            import tarvik.safety.control
            raise AssertionError('imported without _normalize_link_value')
        except ImportError as exc:
            assert '_normalize_link_value' in str(exc), exc
        assert 'tarvik.safety.control' not in sys.modules
        sys.modules['tarvik.safety.family'] = real
        import tarvik.safety.control as control
        assert [n for n in vars(control) if not n.startswith('__')] == {NAMES!r}
        assert control._normalize_link_value is real._normalize_link_value
        print('done')""")


@pytest.mark.parametrize("sibling", ["tarvik.safety.errors", "tarvik.safety.family"])
def test_exception_while_importing_sibling_propagates_unchanged(sibling):
    run_python(f"""if 1:
        import sys
        class Boom(Exception):
            pass
        class Finder:
            def find_spec(self, name, path, target=None):
                if name == {sibling!r}:
                    raised.append(Boom('sibling exploded'))
                    raise raised[-1]
        raised, finder = [], Finder()
        sys.meta_path.insert(0, finder)
        try:
            import tarvik.safety.control
            raise AssertionError('imported')
        except Boom as exc:
            assert exc is raised[0] and str(exc) == 'sibling exploded'
        sys.meta_path.remove(finder)
        import tarvik.safety.control as control
        assert control.enforce_compute_section({{}}) is None
        print('done')""")


# A second interpreter sharing the first one's GIL (as Py_NewInterpreter makes
# it) meets the module's own refusal; from CPython 3.12 on, one with a GIL of
# its own is refused by the interpreter itself, before the module's code runs.
SECOND_INTERPRETER_SAYS = {
    "shared GIL": "ImportError: Interpreter change detected - this module can only be "
                  "loaded into one interpreter per process.",
    "own GIL": "ImportError: module tarvik.safety.control does not support loading in "
               "subinterpreters",
}


@pytest.mark.parametrize("gil", SECOND_INTERPRETER_SAYS)
def test_second_interpreter_is_refused_and_first_keeps_working(gil):
    if gil == "own GIL" and sys.version_info < (3, 12):
        pytest.skip("interpreters with a GIL of their own came with CPython 3.12")
    sub_code = (f"import os, sys; sys.path.insert(0, {ROOT!r})\n"
                "try:\n    import tarvik.safety.control\n    said = 'imported'\n"
                "except BaseException as exc:\n    said = f'{type(exc).__name__}: {exc}'\n"
                "os.write(WRITE, said.encode())\n")
    run_python(f"""if 1:
        import os
        import tarvik.safety.control as control
        read, write = os.pipe()
        code = {sub_code!r}.replace('WRITE', str(write))
        if {gil!r} == 'shared GIL':
            import _testcapi
            _testcapi.run_in_subinterp(code)
        else:
            try:
                import _interpreters as interpreters
            except ImportError:  # its name on 3.12
                import _xxsubinterpreters as interpreters
            interp = interpreters.create()
            interpreters.run_string(interp, code)
            interpreters.destroy(interp)
        os.close(write)
        said = os.read(read, 1000).decode()
        assert said == {SECOND_INTERPRETER_SAYS[gil]!r}, said
        try:
            control.enforce_compute_section({{'control': {{'compute': 1}}}})
            raise AssertionError('no SafetyError')
        except control.SafetyError as exc:
            assert str(exc) == {messages.compute_not_dict!r}
        assert control.enforce_control_structure({{}}) is None
        print('done')""")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
@pytest.mark.skipif(bool(os.environ.get("TARVIK_SANITIZE")), reason="instrumented build")
def test_only_the_init_entry_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", control.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_control"]


def test_daemon_threads_inside_a_check_at_shutdown():
    # Interpreter shutdown ends such threads by unwinding their stacks.
    for _ in range(5):
        run_python("""if 1:
            import threading, time
            from tarvik.safety.control import enforce_control_structure as check
            def loop():
                while True:
                    try:
                        check({'control': {'zz': 1}})
                    except BaseException:
                        pass
            for _ in range(2):
                threading.Thread(target=loop, daemon=True).start()
            time.sleep(0.05)
            print('done')""")


def test_imports_go_through_the_import_statements_hook():
    run_python("""if 1:
        import builtins
        seen, original = [], builtins.__import__
        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            if (globals or {}).get('__name__') == 'tarvik.safety.control':
                seen.append((name, tuple(fromlist or ()), level))
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = recording
        import tarvik.safety.control
        assert seen == [('typing', ('Any', 'Dict', 'Tuple'), 0), ('errors', ('SafetyError',), 1),
                        ('family', ('_normalize_family_spec', '_normalize_link_value'), 1)], seen
        print('done')""")


@pytest.mark.skipif(os.environ.get("PYTHONMALLOC", "").startswith("malloc")
                    or bool(os.environ.get("TARVIK_SANITIZE")),
                    reason="allocated blocks are only counted by pymalloc")
def test_failed_imports_release_what_they_made():
    run_python("""if 1:
        import gc, sys, types
        import tarvik.safety.family as real
        fake = types.ModuleType('tarvik.safety.family')
        fake._normalize_family_spec = real._normalize_family_spec

        def fail_imports(times):
            sys.modules['tarvik.safety.family'] = fake
            for _ in range(times):
                try:
                    import tarvik.safety.control
                except ImportError:
                    pass
                else:
                    raise AssertionError('imported without _normalize_link_value')
            gc.collect()
            return sys.getallocatedblocks()

        # The interpreter's own import machinery settles over the first few
        # hundred failures (a failing Python module grows as well); a module
        # object or its namespace kept by each failure would be far more.
        blocks = [fail_imports(50) for _ in range(8)]
        assert min(b - a for a, b in zip(blocks[-4:], blocks[-3:])) < 50, blocks
        sys.modules['tarvik.safety.family'] = real
        import tarvik.safety.control as control
        assert control.enforce_compute_section({}) is None
        print('done')""")


@pytest.mark.parametrize("error", ["LookupError('looked up')", "AttributeError('not there')"])
def test_sibling_attribute_errors(error):
    # Only an AttributeError means that the name is missing (ImportError).
    run_python(f"""if 1:
        import sys, types
        import tarvik.safety.family as real
        fake = types.ModuleType('tarvik.safety.family')
        fake._normalize_family_spec = real._normalize_family_spec
        raised = []

        def __getattr__(name):
            if name != '_normalize_link_value':
                raise AttributeError(name)
            raised.append({error})
            raise raised[-1]

        fake.__getattr__ = __getattr__
        sys.modules['tarvik.safety.family'] = fake
        try:
            import tarvik.safety.control
        except Exception as exc:
            got = exc
        else:
            raise AssertionError('imported')
        if isinstance(raised[0], AttributeError):
            assert type(got) is ImportError and '_normalize_link_value' in str(got), repr(got)
        else:
            assert got is raised[0], repr(got)
        sys.modules['tarvik.safety.family'] = real
        import tarvik.safety.control as control
        assert control._normalize_link_value is real._normalize_link_value
        print('done')""")


@pytest.mark.parametrize("replacement", ["dict", "module", "removed", "neither"])
def test_builtins_replaced_during_sibling_import_are_the_functions_builtins(replacement):
    # The namespace's __builtins__, whatever an import hook left there, is
    # where a missing SafetyError is looked up last; without a usable one,
    # the interpreter's builtins are.
    run_python(f"""if 1:
        import builtins, sys, types

        class Fallback(Exception):
            pass

        if {replacement!r} == 'dict':
            replaced = dict(vars(builtins), SafetyError=Fallback)
        elif {replacement!r} == 'module':
            replaced = types.ModuleType('builtins')
            vars(replaced).update(vars(builtins), SafetyError=Fallback)
        else:
            replaced = 5

        class Hook:
            def find_spec(self, name, path, target=None):
                if name == 'tarvik.safety.family':
                    namespace = vars(sys.modules['tarvik.safety.control'])
                    if {replacement!r} == 'removed':
                        del namespace['__builtins__']
                    else:
                        namespace['__builtins__'] = replaced
                return None

        sys.meta_path.insert(0, Hook())
        import tarvik.safety.control as control
        del control.SafetyError
        if {replacement!r} in ('removed', 'neither'):
            builtins.SafetyError = Fallback
        for call in (lambda: control.enforce_compute_section({{'control': {{'compute': 1}}}}),
                     lambda: control.enforce_control_structure({{'control': {{'inla': {{'x': 1}}}}}})):
            try:
                call()
            except Fallback as exc:
                assert 'tarvik safety check' in str(exc)
            else:
                raise AssertionError('no error')
        print('done')""")


def test_exec_by_hand_puts_the_module_in_the_module_table():
    # A failed exec takes out again what it put in; the next import starts over.
    run_python("""if 1:
        import importlib.util, sys, types
        import tarvik.safety.family as real
        name = 'tarvik.safety.control'
        spec = importlib.util.find_spec(name)
        sys.modules['tarvik.safety.family'] = types.ModuleType('tarvik.safety.family')
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
            raise AssertionError('executed without the family helpers')
        except ImportError:
            pass
        assert name not in sys.modules
        sys.modules['tarvik.safety.family'] = real
        module = importlib.util.module_from_spec(spec)
        assert name not in sys.modules
        spec.loader.exec_module(module)
        assert sys.modules[name] is module
        assert module.enforce_control_structure({}) is None
        print('done')""")
