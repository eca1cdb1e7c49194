# The parameters of the module's two functions, as Python functions have
# them. setup.py compiles this when the module is built; each function's
# code object is its __code__, and a call made with keywords (or with fewer
# arguments) is bound by running it, so that binding, defaults and the
# errors of a wrong call are the interpreter's own. Never run as a module.


def enforce_control_structure(kwargs, families=()):
    return kwargs, families


def enforce_compute_section(kwargs):
    return (kwargs,)
