"""Exceptions raised by the safety checks."""

__all__ = ["SafetyError"]


class SafetyError(ValueError):
    """A model-fitting call broke a safety rule.

    Raised with one argument, the complete message, which begins with
    "tarvik safety check: " and names the offending entry, for example::

        SafetyError("tarvik safety check: quantile must be in (0,1).")

    It is a ``ValueError`` because it reports a bad value handed in by the
    caller; ``str(err)`` is the message. It adds nothing to ``ValueError``,
    so that making one costs no more than making a ``ValueError``.
    """
