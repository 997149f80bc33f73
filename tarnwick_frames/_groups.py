# SPDX-License-Identifier: MIT
"""The group key of a long table's rows (`by=`) as integer codes.

tarnwick_arrays steps each group's rows as one series; it groups by integer
codes, one per row, drawn from a range about as wide as the rows are many.
Keys are turned into such codes here with no Python object made per row:
text keys with no nulls (numpy str or str objects, polars String, Arrow
string types) natively, by hashing each row's bytes once; others by each
library's own factorisation: pandas' factorize or a Categorical's codes, a
polars Categorical's physical codes, an Arrow dictionary's indices, numpy's
unique for any other array. Each reader gives the codes and whether they
may hold nulls (negative codes); codes known to hold none are not read again.
"""

import threading
import weakref

from tarnwick_frames import _library

__all__ = ["_group_codes"]

# The codes this thread's frames call made for its keys, which the call's
# tarnwick_arrays function hands back here: taken as they are, once, not
# checked again.
_made = threading.local()


def _text_codes(key):
    """Codes of a column of text keys with no nulls, or None for any other."""
    from tarnwick_arrays import _text_codes

    return _text_codes(key)


def _pandas_codes(key):
    import pandas as pd

    if isinstance(key, pd.DataFrame):
        raise ValueError("'by' must be one column of keys, not a DataFrame")
    values = key.array if isinstance(key, (pd.Series, pd.Index)) else key
    if isinstance(values, pd.Categorical):
        return values.codes, True
    # Text read natively: an object array as numpy holds it, pandas' str
    # (Arrow-backed) as the Arrow array it holds.
    codes = None
    if values.dtype == object:
        codes = _text_codes(values.to_numpy())
    elif isinstance(values.dtype, pd.StringDtype) and hasattr(values, "__arrow_array__"):
        codes = _text_codes(values.__arrow_array__())
    if codes is not None:
        return codes, False
    codes, _ = pd.factorize(values, use_na_sentinel=True)
    return codes, True


def _run_starts(key):
    """Where a polars column's key differs from the row before's (the first
    row included)."""
    return key.ne_missing(key.shift(1)).fill_null(True)


def _may_be_runs(key, head=4096):
    """Whether the first rows of a polars column hold runs of one key at
    least two rows long on average, as a table sorted by key does: a
    shuffled one is told from its head, without comparing every row."""
    first = key.head(head)
    return 2 * int(_run_starts(first).sum()) <= len(first)


def _polars_codes(key):
    import numpy as np
    import polars as pl

    if isinstance(key, pl.DataFrame):
        raise ValueError("'by' must be one column of keys, not a DataFrame")
    if key.dtype == pl.Object:
        # Python objects, which polars can neither compare nor rank (it
        # panics): grouped as numpy groups an object array.
        return _numpy_codes(key.to_numpy())
    # Text natively, a row that repeats the one before it told without
    # hashing (as a frame sorted by symbol has them).
    if key.dtype == pl.String and (codes := _text_codes(key)) is not None:
        return codes, False
    if key.null_count() == 0 and len(key) > 0 and _may_be_runs(key):
        # Each key's rows together (a frame sorted by symbol): the runs are
        # the groups, found by comparing neighbours, no hashing of every row.
        starts = _run_starts(key)
        heads = key.filter(starts) if 2 * starts.sum() <= len(key) else None
        if heads is not None and heads.n_unique() == len(heads):
            # Run numbers from 1: the codes need not start at 0.
            return np.cumsum(starts.to_numpy(), dtype=np.int64), False
    if not isinstance(key.dtype, (pl.Categorical, pl.Enum)):
        key = key.cast(pl.Categorical) if key.dtype == pl.String else key.rank("dense")
    return key.to_physical().cast(pl.Int64).fill_null(-1).to_numpy(), key.null_count() > 0


def _arrow_codes(key):
    import pyarrow as pa
    import pyarrow.compute as pc

    if not isinstance(key, (pa.Array, pa.ChunkedArray)):
        key = pa.array(key)
    text = ("string", "large_string", "string_view")
    if str(key.type) in text and (codes := _text_codes(key)) is not None:
        return codes, False
    if isinstance(key, pa.ChunkedArray):
        key = key.combine_chunks()
    if not pa.types.is_dictionary(key.type):
        key = pc.dictionary_encode(key)
    codes = pc.fill_null(key.indices.cast(pa.int64()), -1).to_numpy(zero_copy_only=False)
    return codes, True


def _numpy_codes(key):
    import numpy as np

    key = np.asarray(key)
    if key.ndim != 1:
        raise ValueError(f"'by' must be one-dimensional, but has shape {key.shape}")
    if key.dtype.kind in "UO" and (codes := _text_codes(key)) is not None:
        return codes, False
    if key.dtype.kind in "iub":
        key = key.astype(np.int64, copy=False)
        low = int(key.min()) if key.size else 0
        if key.size == 0 or int(key.max()) - low <= 2 * key.size:
            # Negative codes mark nulls: the keys are moved up to start at 0.
            return (key - low if low < 0 else key), False
    nulls = None
    if key.dtype.kind == "f":
        nulls = np.isnan(key)
    elif key.dtype.kind in "mM":
        nulls = np.isnat(key)
    elif key.dtype.kind == "O":
        nulls = np.equal(key, None) | np.not_equal(key, key)
    if nulls is not None and nulls.any():
        codes = np.full(key.size, -1, dtype=np.int64)
        codes[~nulls] = _unique_codes(key[~nulls])
        return codes, True
    return _unique_codes(key), False


def _unique_codes(key):
    import numpy as np

    try:
        return np.unique(key, return_inverse=True)[1].reshape(-1)
    except TypeError:
        if key.dtype.kind != "O":
            raise
    # Objects of types that do not order (1 beside "a"): numbered by
    # equality and hash, as a dict keys them; an unhashable key is refused.
    numbers = {}
    try:
        return np.fromiter((numbers.setdefault(k, len(numbers)) for k in key), np.int64, key.size)
    except TypeError as error:
        raise TypeError(f"'by' holds a key that cannot be hashed: {error}") from None


_READERS = {"pandas": _pandas_codes, "polars": _polars_codes, "pyarrow": _arrow_codes}


def _group_codes(name, key, length):
    """The int64 codes of `key`, one row per bar of series `length` bars
    long, from a range at most about twice as wide as there are rows; a
    ValueError naming `by` for keys of another length or a null key."""
    import numpy as np

    made, _made.codes = getattr(_made, "codes", None), None
    if made is not None and made() is key and key.size == length:
        return key
    try:
        codes, nulls_possible = _READERS.get(_library(key), _numpy_codes)(key)
    except (TypeError, ValueError) as error:
        if str(error).startswith("'by'"):
            raise type(error)(f"{name}(): {error}") from None
        raise
    codes = np.ascontiguousarray(codes, dtype=np.int64).reshape(-1)
    if codes.size != length:
        raise ValueError(
            f"{name}(): 'by' has {codes.size} keys, but the series have {length} bars; "
            "give one key per row"
        )
    # A reduction, no mask of every row, in the common case of no nulls.
    if nulls_possible and codes.size and codes.min() < 0:
        nulls = codes < 0
        count = int(nulls.sum())
        raise ValueError(
            f"{name}(): 'by' has {count} null key{'s' * (count != 1)}, the first at position "
            f"{int(np.argmax(nulls))}; drop those rows or fill their keys first "
            "(pandas: .dropna() or .fillna(...), polars: .drop_nulls() or .fill_null(...))"
        )
    if codes is not key:  # made here: no caller holds it to change it
        _made.codes = weakref.ref(codes)
    return codes
