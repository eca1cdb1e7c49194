"""Normalisation of likelihood family and link names.

Users write family and link names in whatever case and spacing they like
("Gamma", " gammaSurv "); these helpers bring them to the canonical lower-case
form that the rest of the package compares against.
"""

from typing import Iterable, Optional, Tuple, Union

__all__ = ["_normalize_family_spec", "_normalize_link_value"]


def _normalize_family_spec(
    family: Union[str, Iterable[str], None]
) -> Tuple[str, ...]:
    """Return the family names of ``family`` as a tuple of canonical names.

    ``family`` is one name or an iterable (tuple, list, ...) of names; each
    name is stripped of surrounding white space and lower-cased.  ``None``
    gives the empty tuple.  A name that is not a string raises ``TypeError``.

    >>> _normalize_family_spec(" Gamma ")
    ('gamma',)
    >>> _normalize_family_spec(["gaussian", "GammaSurv"])
    ('gaussian', 'gammasurv')
    """
    if family is None:
        return ()
    names = (family,) if isinstance(family, str) else tuple(family)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(
                f"family names must be strings, got {type(name).__name__}"
            )
    return tuple(name.strip().lower() for name in names)


def _normalize_link_value(link: Optional[str]) -> Optional[str]:
    """Return the link name ``link`` stripped and lower-cased.

    ``None`` and a name that is empty after stripping give ``None``, meaning
    "the family's default link".  A value that is not a string raises
    ``TypeError``.

    >>> _normalize_link_value(" Log ")
    'log'
    >>> _normalize_link_value("  ") is None
    True
    """
    if link is None:
        return None
    if not isinstance(link, str):
        raise TypeError(f"link must be a string, got {type(link).__name__}")
    return link.strip().lower() or None
