"""Warnings recorded around a call."""

import contextlib
import warnings


@contextlib.contextmanager
def recorded():
    """Every warning raised inside, except ResourceWarning: an archive another
    test left open may be collected in the middle of the call."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.simplefilter("ignore", ResourceWarning)
        yield caught
