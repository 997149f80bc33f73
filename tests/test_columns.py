"""tarnwick_arrays with columns: pandas, polars and Arrow objects handed to
tarnwick_frames."""

import pytest

from support import run_fresh

pytest.importorskip("numpy")

# A stand-in for tarnwick_frames that records each call it is handed.
FAKE_FRAMES = """
calls = []
def _dispatch(function, args, kwargs):
    calls.append((function, args, kwargs))
    return "dispatched"
"""


def test_column_containers_are_handed_to_tarnwick_frames(tmp_path):
    (tmp_path / "tarnwick_frames.py").write_text(FAKE_FRAMES)
    out = run_fresh(
        """
        import importlib.util, sys
        import numpy as np
        import tarnwick_arrays as ta
        from registry import FUNCTIONS

        sys.path.insert(0, sys.argv[1])

        def typed(module, **attributes):
            return type("Column", (), {"__module__": module, **attributes})()

        class Near(list):
            __module__ = "pandasx"  # only starts alike

        # Arrays, sequences and buffers are read as they always were.
        for f in FUNCTIONS:
            for make in (np.array, list, tuple, Near, memoryview):
                f.array(*[make(np.array(s)) for s in f.call[: f.series_count]], *f.scalars)
        assert "tarnwick_frames" not in sys.modules

        containers = [
            typed("pandas"), typed("polars.series.series"), typed("pyarrow.lib"),
            typed("elsewhere", __arrow_c_array__=None), typed("elsewhere", __arrow_c_stream__=1),
        ]
        for library, make in [("pandas", "DataFrame"), ("polars", "Series"), ("pyarrow", "array")]:
            if importlib.util.find_spec(library):
                containers.append(getattr(__import__(library), make)([1.0, 2.0]))
        for f in FUNCTIONS:
            for i in range(f.series_count):
                for column in containers:
                    args = list(f.call)
                    args[i] = column
                    last = f.names[-1]
                    assert f.array(*args[:-1], **{last: args[-1]}, out=None) == "dispatched"
                    import tarnwick_frames
                    name, given, kwargs = tarnwick_frames.calls.pop()
                    assert name == f.array.__name__
                    assert type(given) is tuple and len(given) == len(args) - 1
                    assert all(g is a for g, a in zip(given, args))
                    assert type(kwargs) is dict and list(kwargs) == [last, "out"]
                    assert kwargs[last] is args[-1] and kwargs["out"] is None
        # Imported once and kept: the call needs it no more in sys.modules.
        del sys.modules["tarnwick_frames"]
        assert ta.adx(containers[0], [1.0], [1.0], 2) == "dispatched"
        # Binding comes first.
        try:
            ta.adx(containers[0])
        except TypeError as e:
            print(e)
        """,
        str(tmp_path),
    )
    assert out == "adx() missing 3 required positional arguments: 'low', 'close', and 'period'\n"


def test_without_tarnwick_frames_a_column_is_an_import_error():
    out = run_fresh(
        """
        import sys
        import tarnwick_arrays as ta
        sys.modules["tarnwick_frames"] = None  # as if not installed
        Column = type("Column", (), {"__module__": "pandas.core.series"})
        try:
            ta.garch11_variance(Column(), 0.0, 0.0, 0.0)
        except ImportError as e:
            print(type(e).__name__, type(e.__cause__).__name__, e, sep="\\n")
        """
    )
    assert out == (
        "ImportError\nModuleNotFoundError\ntarnwick_arrays needs tarnwick_frames for pandas, "
        "polars and Arrow columns: pip install 'tarnwick[frames]'\n"
    )
