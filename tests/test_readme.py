"""The README's Python examples run, and give the results their comments show."""

import math
import re
from pathlib import Path

import pytest

README = (Path(__file__).resolve().parent.parent / "README.md").read_text()
BLOCKS = re.findall(r"```python\n(.*?)```", README, re.S)


def commented_calls(block):
    """(call, shown result) for 'call  # [...]' and for a call followed by '# [...]'."""
    lines = block.splitlines()
    for i, line in enumerate(lines):
        same_line = re.match(r"^(tarnwick\.\S.*?\))\s+# (\[.*\])$", line)
        if same_line:
            yield same_line.groups()
        elif line.startswith("# [") and i > 0 and lines[i - 1].startswith("tarnwick."):
            yield lines[i - 1], line[2:]


CASES = [(b, call, shown) for b in BLOCKS for call, shown in commented_calls(b)]


def test_readme_shows_results():
    assert len(CASES) >= 6


@pytest.mark.parametrize(("block", "call", "shown"), CASES, ids=[c[1][:60] for c in CASES])
def test_shown_result(block, call, shown):
    namespace = {}
    exec("import tarnwick\n" + block.split(call)[0], namespace)
    assert repr(eval(call, namespace)) == shown


@pytest.mark.parametrize("block", [b for b in BLOCKS if "variance_array" in b])
def test_interop_block_runs(block, monkeypatch):
    pytest.importorskip("numpy")
    pytest.importorskip("pandas")
    monkeypatch.chdir(Path(__file__).resolve().parent.parent)
    namespace = {}
    exec(block, namespace)
    assert len(namespace["adx"]) == len(namespace["sar"]) == len(namespace["variance"]) + 1
    assert not math.isnan(namespace["variance_array"].sum())


@pytest.mark.parametrize("block", [b for b in BLOCKS if "tarnwick_frames.polars" in b])
def test_polars_block_runs(block, monkeypatch):
    pytest.importorskip("polars")
    import tarnwick_arrays

    monkeypatch.chdir(Path(__file__).resolve().parent.parent)
    namespace = {}
    exec(block, namespace)
    result = namespace["result"]
    assert result["symbol"].n_unique() == 4
    # Under .over("symbol") or by="symbol" each symbol's values are those of its own rows alone.
    for _, group in result.group_by("symbol"):
        columns = (group[c].to_numpy() for c in ("High", "Low", "Close"))
        expected = tarnwick_arrays.adx(*columns, 14)
        assert group["adx"].to_numpy().tobytes() == expected.tobytes()


def test_file_names_carry_the_installed_version():
    from importlib import metadata

    version = metadata.version("tarnwick")
    named = set(re.findall(r"tarnwick-(\d+\.\d+\.\d+)[-.]", README))
    assert named == {version}
    assert 'importlib.metadata.version("tarnwick")' in README
