"""Caller code that runs in the middle of a call: finalizers started by a
garbage collection, import hooks that call back in, daemon threads ended at
interpreter exit, types that lie about their names. Each scenario runs in a
fresh interpreter, since the faults they guard against are crashes and hangs."""

import pytest

from registry import FUNCTIONS, NAMES, SERIES
from support import run_fresh as run

pytest.importorskip("numpy")


def array_calls(function):
    """The text of the function's call with the array `a` as each series in
    turn and `b` as the others."""
    positions = [i for i, kind in enumerate(function.kinds) if kind == SERIES]
    return [
        "f("
        + ", ".join(
            "a" if j == i else "b" if j in positions else repr(value)
            for j, value in enumerate(function.call)
        )
        + ")"
        for i in positions
    ]


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
def test_a_collection_while_the_result_is_made_cannot_touch_an_array_read_in_place(function):
    # On 3.11 creating the result list could collect at once, running this
    # finalizer while the kernel was still to read the array: a wrong result
    # from the write, a read of freed memory from the resize.
    out = run(
        f"""
        import gc, numpy as np, tarnwick
        f = tarnwick.{function.name}
        for text in {array_calls(function)!r}:
            call = eval("lambda f, a, b: " + text)
            for spoil in ("a[:] = 5.0", "a.resize(1 << 16, refcheck=False); a[:] = 5.0"):
                a = np.linspace(0.01, 0.2, 64)
                b = np.linspace(0.02, 0.3, 64)
                expected = call(f, a.copy(), b)
                class Bomb:
                    def __del__(self):
                        exec(spoil, {{"a": a}})
                gc.disable()
                bomb = Bomb(); bomb.me = bomb; del bomb
                keep = [[] for _ in range(200)]
                gc.set_threshold(1); gc.enable()
                # Nothing between here and the call allocates a tracked object.
                got = call(f, a, b)
                gc.set_threshold(700)
                assert got == expected, (text, spoil)
        print("ok")
        """
    )
    assert out == "ok\n"


INNER_CALL = """
import builtins, tarnwick as t
original = builtins.__import__
entered = []
def hook(name, *args, **kwargs):
    if name == "collections.abc" and not entered:
        entered.append(1)
        try:
            t.native_garch11_variance({}, 0, 0, 0)
        except TypeError as e:
            print("inner", e)
    return original(name, *args, **kwargs)
builtins.__import__ = hook
try:
    t.native_garch11_variance({}, 0, 0, 0)
except TypeError as e:
    print("outer", e)
"""


def test_a_first_use_that_calls_back_into_itself_returns():
    message = "'dict' object is not an instance of 'Sequence'"
    assert run(INNER_CALL, timeout=30) == f"inner {message}\nouter {message}\n"


def test_a_child_forked_while_another_thread_makes_a_value_can_make_it_itself():
    out = run(
        """
        import builtins, os, threading, tarnwick as t
        original = builtins.__import__
        inside, release = threading.Event(), threading.Event()
        def hook(name, *args, **kwargs):
            if name == "collections.abc" and threading.current_thread().name == "maker":
                inside.set(); release.wait()
            return original(name, *args, **kwargs)
        builtins.__import__ = hook
        def make():
            try:
                t.native_adx(None, [], [], 1)
            except TypeError:
                pass
        maker = threading.Thread(target=make, name="maker")
        maker.start(); inside.wait()
        pid = os.fork()
        if pid == 0:
            try:
                t.native_adx(None, [], [], 1)
            except TypeError as e:
                os.write(1, f"child {e}\\n".encode())
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        release.set(); maker.join()
        print("status", status)
        """,
        timeout=30,
    )
    assert out == "child 'None' is not an instance of 'Sequence'\nstatus 0\n"


def test_a_daemon_thread_inside_a_call_at_exit_lets_the_interpreter_exit():
    # The thread waits in an item's __float__ when the interpreter finalizes;
    # the interpreter ends it as it takes the lock back, unwinding its stack
    # through the module's frames.
    run(
        """
        import builtins, sys, threading, time, tarnwick
        class Slow:
            def __float__(self):
                time.sleep(0.2)
                return 1.0
        def loop():
            while True:
                tarnwick.native_garch11_variance([Slow()], 0.0, 0.0, 0.0)
        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.05)
        class Linger:
            # Keeps finalization busy until the daemon thread wakes.
            def __del__(self):
                time.sleep(0.5)
        builtins.linger = Linger()
        """
    )


@pytest.mark.parametrize("module, qualname", [("numpy", "ndarray"), ("array", "array")])
def test_a_type_named_like_an_array_is_read_by_its_own_iteration(module, qualname):
    out = run(
        f"""
        import numpy, array, tarnwick
        class Impostor(bytearray):
            def __iter__(self):
                return iter([1.5, 2.5])
        Impostor.__module__ = {module!r}
        Impostor.__qualname__ = {qualname!r}
        print(tarnwick.native_garch11_variance(Impostor(b"\\x01\\x02"), 0.0, 0.0, 1.0))
        """
    )
    assert out == "[4.25, 4.25]\n"


@pytest.mark.parametrize(
    "shape, call",
    [
        ("(N,)", "s.update(moving, fixed, fixed)"),
        # float flags, which where= once read in place, are now refused
        ("(N,)", "s.peek(fixed, fixed, fixed, where=moving)"),
        ("(1, N)", "s.extend(moving, fixed, fixed)"),
        ("(N,)", "ta.garch11_variance(moving, 1e-6, 0.1, 0.8)"),
        ("(2, N)", "ta.garch11_variance(moving, 1e-6, 0.1, 0.8)"),
        ("(N, 2)", "ta.garch11_variance(moving, 1e-6, 0.1, 0.8, axis=0)"),
        # a view keeps no array from being resized: the one owning its memory must be
        ("(N,)", "ta.garch11_variance(moving[1:], 1e-6, 0.1, 0.8)"),
        ("(N,)", "ta.garch11_variance(fixed, 1e-6, 0.1, 0.8, out=moving)"),
    ],
    ids=["update", "where", "extend", "arrays", "arrays-rows", "arrays-axis0", "view", "out"],
)
def test_an_input_resized_while_a_call_runs_without_the_lock_is_never_read(shape, call):
    # numpy frees the memory of an array resized with refcheck=False even
    # while its buffer is exported; the call must keep it from being resized
    # (ValueError in the resizing thread) while it reads or writes it.
    # Every array of more than 64 KiB gets pages of its own, which a shrink
    # hands back, so a read of them faults at once.
    out = run(
        f"""
        import threading, time, numpy as np, tarnwick_arrays as ta, tarnwick_stream as ts
        N = 1 << 20
        s = ts.Adx(14, symbols={shape}[0] if len({shape}) == 2 else N)
        fixed = np.full({shape}, 9.5)
        moving = np.ones({shape})
        def resize():
            while True:
                try:
                    moving.resize((10,), refcheck=False)
                    moving.resize({shape}, refcheck=False)
                except ValueError:
                    pass
                time.sleep(0)  # the call converts it whole, and then lets go of the lock
        threading.Thread(target=resize, daemon=True).start()
        for _ in range(100):
            try:
                {call}
            except (ValueError, TypeError):
                pass
        print("ok")
        """,
        timeout=300,
        env={"MALLOC_MMAP_THRESHOLD_": "65536"},
    )
    assert out == "ok\n"


def test_an_input_resized_while_a_call_waits_for_a_streams_claim_is_never_read():
    # Too few values to compute without the lock, but a call that meets
    # another thread's claim on the stream lets go of it while it waits.
    # Only this thread grows the array back, so the shrunk one stays unmapped.
    out = run(
        """
        import threading, time, numpy as np, tarnwick_stream as ts
        S = 3000
        s = ts.Adx(14, symbols=S)
        big, fixed, moving = np.full((S, 200), 9.5), np.full((S,), 9.5), np.ones((S,))
        def extend():
            while True:
                s.extend(big, big, big)
        def shrink():
            while True:
                try:
                    moving.resize((10,), refcheck=False)
                except ValueError:
                    pass
                time.sleep(0)
        for work in (extend, shrink):
            threading.Thread(target=work, daemon=True).start()
        for _ in range(200):
            try:
                moving.resize((S,), refcheck=False)
            except ValueError:
                pass
            try:
                s.update(moving, fixed, fixed)
            except ValueError:
                pass
        print("ok")
        """,
        timeout=300,
        env={"MALLOC_MMAP_THRESHOLD_": "4096"},
    )
    assert out == "ok\n"


@pytest.mark.parametrize(
    "call, raises",
    [
        ("ta.garch11_variance(a[1:], 1e-6, 0.1, 0.8)", None),
        ("ta.garch11_variance(b, 1e-6, 0.1, 0.8, out=a)", None),
        ("ta.adx(a, a[:-1], a, 14)", ValueError),  # the kernel refuses it, once guarded
        ("ts.Adx(14, symbols=2).extend(*[a.reshape(2, -1)] * 3)", None),
        ("ts.Adx(14, symbols=a.size).peek(a, b, b)", None),
    ],
    ids=["view", "out", "refused", "extend", "peek"],
)
def test_a_lock_free_call_lets_its_arrays_be_resized_once_it_returns(call, raises):
    import numpy as np

    import tarnwick_arrays as ta
    import tarnwick_stream as ts

    a, b = np.ones(8192), np.ones(8192)
    try:
        eval(call, {"ta": ta, "ts": ts, "a": a, "b": b})
    except ValueError:
        assert raises is ValueError
    else:
        assert raises is None
    a.resize((10,), refcheck=False)
    assert a.shape == (10,)
