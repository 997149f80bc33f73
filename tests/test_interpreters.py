"""Subinterpreters: refused with their own GIL, working when they share it.

The module's cached values belong to the process, not to an interpreter, so it
declares no per-interpreter support and an isolated interpreter must refuse it
with an ImportError. One that shares the main interpreter's GIL may import it
and must compute exactly. Each scenario runs in a fresh process.
"""

import sys
import textwrap

import pytest

from support import TESTS_DIR, run_fresh

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="per-interpreter GIL is 3.12+")

PRELUDE = textwrap.dedent(
    """
    import sys
    try:
        import _interpreters as interpreters
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("unavailable")
            raise SystemExit(0)

    def create(shared_gil):
        if hasattr(interpreters, "new_config"):
            return interpreters.create("legacy" if shared_gil else "isolated")
        return interpreters.create(isolated=not shared_gil)

    def run(interp, source):
        # The error text of the script, or None: 3.12 raises, 3.13 returns it.
        try:
            failure = interpreters.run_string(interp, source)
        except Exception as exc:
            return str(exc)
        return None if failure is None else failure.formatted
    """
)

# Runs inside a subinterpreter: computes and checks against the models.
CHECK_INSIDE = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, {tests_dir!r})
    from exact import assert_bits_equal
    import registry
    import tarnwick
    for f in registry.FUNCTIONS:
        assert_bits_equal(f.native(*f.call), f.model(*f.converted(f.call)))
    try:
        tarnwick.native_adx({{}}, [1.0], [1.0], 3)
    except TypeError as exc:
        assert str(exc) == "'dict' object is not an instance of 'Sequence'", str(exc)
        assert exc.__notes__ == ["while processing 'high'"], exc.__notes__
    else:
        raise AssertionError("a dict was accepted")
    assert tarnwick.__all__ == registry.NAMES
    """
).format(tests_dir=TESTS_DIR)


def run_child(body):
    out = run_fresh(PRELUDE + textwrap.dedent(body), env={"CHECK_INSIDE": CHECK_INSIDE})
    if out.strip() == "unavailable":
        pytest.skip("this interpreter offers no subinterpreter module")
    return out


def test_own_gil_subinterpreter_refuses_the_import():
    out = run_child(
        """
        interp = create(shared_gil=False)
        print(run(interp, "import tarnwick"))
        interpreters.destroy(interp)
        """
    )
    assert "ImportError" in out
    assert "module tarnwick does not support loading in subinterpreters" in out


def test_shared_gil_subinterpreter_computes_exactly():
    # The subinterpreter is the first to need every cached value; the main
    # interpreter then uses them after it is gone, and a second one again.
    out = run_child(
        """
        import os
        first = create(shared_gil=True)
        print(run(first, os.environ["CHECK_INSIDE"]))
        interpreters.destroy(first)
        exec(os.environ["CHECK_INSIDE"])
        second = create(shared_gil=True)
        print(run(second, os.environ["CHECK_INSIDE"]))
        interpreters.destroy(second)
        print("main done")
        """
    )
    assert out.splitlines() == ["None", "None", "main done"]
