"""Writes the type stubs of tarnwick_arrays, tarnwick_stream and tarnwick_frames.polars
from what the installed modules say of themselves.

    python tools/stubs.py          rewrite the stubs
    python tools/stubs.py --check  exit 1 if a committed stub differs

Each indicator's part comes from tarnwick_arrays._catalogue (its stem, its
parameters and the kind each converts to, its outputs, its stream type) and
from the functions' and stream types' text signatures and attributes. The
hand-written parts (the shared aliases, the GARCH fit functions, a stream
type's own methods and docstring) are in tools/stub_templates/*.pyi.in. The
result is laid out by ruff format, so that it is the file ruff would keep.
"""

import argparse
import inspect
import subprocess
import sys
from pathlib import Path

import tarnwick_arrays
import tarnwick_stream

ROOT = Path(__file__).resolve().parent.parent
TEMPLATES = Path(__file__).resolve().parent / "stub_templates"

# How each kind of catalogue parameter is typed: by a stream of one series,
# which takes one number each, by an array function, and by a stream of many
# symbols.
KIND_TYPES = {"real": "_Number", "count": "SupportsIndex", "real or one per series": "_Number"}
ARRAY_KIND_TYPES = {**KIND_TYPES, "real or one per series": "_PerSeries"}
SYMBOL_KIND_TYPES = {**KIND_TYPES, "real or one per series": "_PerSymbol"}
# The array functions' keyword-only options: their types.
ARRAY_OPTIONS = {
    "out": "_Out | None",
    "seed": "_PerSeries | None",
    "axis": "SupportsIndex",
    "nan_policy": "_NanPolicy",
    "by": "_Keys | None",
}
# What an array function takes for its series and gives, overload by overload:
# numpy or sequences, a container of pandas, polars or Arrow, any Arrow export.
ARRAY_OVERLOADS = (("_Series", "_Out"), ("_Container", "_Container"), ("_Column", "Any"))
# A stream's keyword options and methods typed the same for every indicator.
STREAM_OPTIONS = {"seed": "_Number | None", "where": "_Mask | None", "by": "_Keys | None"}
SYMBOL_OPTIONS = {**STREAM_OPTIONS, "seed": "_PerSymbol | None", "symbols": "SupportsIndex | _Keys"}
STREAM_COMMON = {
    "update",
    "peek",
    "extend",
    "copy",
    "value",
    "bars",
    "symbols",
    "keys",
}
LAST_VALUES = (
    "# The last bar's value (None before the first bar of one series; NaN for\n"
    "# a symbol without one), and the bars each has taken."
)
OTHER_VALUES = (
    "# The last bar's other values, as tarnwick_arrays.{} gives them\n"
    "# (None before the first bar of one series; NaN for a symbol without one)."
)


class Entry:
    """One indicator of the catalogue."""

    def __init__(self, stem, parameters, outputs, type_name):
        self.stem = stem
        self.parameters = [(name, kind) for name, kind in parameters]
        self.outputs = tuple(outputs)
        self.type_name = type_name
        self.series = [name for name, kind in self.parameters if kind == "series"]
        others = self.parameters[len(self.series) :]
        self.scalars = [(name, KIND_TYPES[kind]) for name, kind in others]
        self.array_scalars = [(name, ARRAY_KIND_TYPES[kind]) for name, kind in others]
        self.symbol_scalars = [(name, SYMBOL_KIND_TYPES[kind]) for name, kind in others]


def catalogue():
    return [Entry(*described) for described in tarnwick_arrays._catalogue]


def keywords(function, types):
    """The keyword-only options of `function` as stub parameters, with their defaults."""
    out = []
    for p in inspect.signature(function).parameters.values():
        if p.kind is not inspect.Parameter.KEYWORD_ONLY:
            continue
        if p.name not in types:
            sys.exit(f"{function.__qualname__}: option {p.name!r} has no type in tools/stubs.py")
        default = "" if p.default is inspect.Parameter.empty else f" = {p.default!r}"
        out.append(f"{p.name}: {types[p.name]}{default}")
    return out


def definition(name, parameters, returns, indent="", overload=True):
    head = f"{indent}@overload\n" if overload else ""
    return f"{head}{indent}def {name}({', '.join(parameters)}) -> {returns}: ...\n"


def array_functions(entries, hand):
    text = ""
    for e in entries:
        options = keywords(getattr(tarnwick_arrays, e.stem), ARRAY_OPTIONS)
        if e.outputs:
            fields = "".join(f"    {field}: _T\n" for field in e.outputs)
            about = f"# What {e.stem} gives: one field per value, each as its inputs are given.\n"
            about = hand.get(f"doc {e.type_name}", about)
            text += f"{about}class {e.type_name}(NamedTuple, Generic[_T]):\n{fields}\n"
        for series, returns in ARRAY_OVERLOADS:
            if e.outputs:
                returns = f"{e.type_name}[{returns}]"
            parameters = [f"{s}: {series}" for s in e.series]
            parameters += [f"{name}: {kind}" for name, kind in e.array_scalars]
            text += definition(e.stem, [*parameters, "*", *options], returns)
        text += "\n"
    return text


def array_stub(entries):
    template, hand = blocks((TEMPLATES / "tarnwick_arrays.pyi.in").read_text())
    names = ",\n".join(f"    {name!r}" for name in sorted(tarnwick_arrays.__all__))
    return replace(
        template,
        {"__all__": f"__all__ = [\n{names},\n]\n", "functions": array_functions(entries, hand)},
    )


def blocks(template):
    """The template without its `#% doc T` and `#% method m` blocks, and those blocks by name."""
    kept, found, name = [], {}, None
    for line in template.splitlines(keepends=True):
        if line.startswith("#% end"):
            name = None
        elif line.startswith(("#% doc ", "#% method ")):
            name = line[2:].strip()
            found[name] = ""
        elif name is not None:
            found[name] += line
        else:
            kept.append(line)
    return "".join(kept), found


def stream_class(e, hand, entries):
    cls = getattr(tarnwick_stream, e.type_name)
    generic = f"{e.type_name}[_Value, _History]"
    scalars = [f"{name}: {kind}" for name, kind in e.scalars]
    options = keywords(cls, {**STREAM_OPTIONS, "symbols": "None"})
    one = [*scalars, "*", *options]
    many = [f"{name}: {kind}" for name, kind in e.symbol_scalars]
    symbols = SYMBOL_OPTIONS["symbols"]
    many += ["*", *(p.replace(f"{symbols} = None", symbols) for p in keywords(cls, SYMBOL_OPTIONS))]
    body = hand.get(f"doc {e.type_name}", "")
    if body:
        body += "\n"
    body += definition("__new__", ["cls", *one], f"{e.type_name}[float, list[float]]", "    ")
    body += definition("__new__", ["cls", *many], f"{e.type_name}[_Array, _Array]", "    ")
    for method, series in (("update", "_Number | _Series"), ("peek", "_Number | _Series")):
        bars = [f"{s}: {series}" for s in e.series]
        options = keywords(getattr(cls, method), STREAM_OPTIONS)
        body += definition(method, ["self", *bars, "*", *options], "_Value", "    ", False)
    options = keywords(cls.extend, STREAM_OPTIONS)
    bars = [f"{s}: _Series" for s in e.series]
    body += definition("extend", ["self", *bars, "*", *options], "_History", "    ", False)
    body += definition("copy", ["self"], generic, "    ", False)
    body += definition("__copy__", ["self"], generic, "    ", False)
    body += definition("__deepcopy__", ["self", "memo: object", "/"], generic, "    ", False)
    own = sorted(
        n
        for n in vars(cls)
        if not n.startswith("_") and n not in STREAM_COMMON and callable(getattr(cls, n))
    )
    for method in own:
        if f"method {method}" not in hand:
            sys.exit(f"{e.type_name}.{method} has no type: add a '#% method {method}' block")
        body += hand[f"method {method}"]
    body += definition("__reduce__", ["self"], "tuple[Any, ...]", "    ", False)
    body += "".join(f"    {line}\n" for line in LAST_VALUES.splitlines())
    body += "    value: _PerKind[float | None, _Array]\n    bars: _PerKind[int, list[int]]\n"
    for name, returns in (("symbols", "int | None"), ("keys", "tuple[str | int, ...] | None")):
        body += f"    @property\n    def {name}(self) -> {returns}: ...\n"
    for (name, kind), (_, many_kind) in zip(e.scalars, e.symbol_scalars, strict=True):
        if many_kind == "_PerSymbol":
            body += f"    {name}: _PerKind[float, float | _Array]\n"
            continue
        returns = "int" if kind == "SupportsIndex" else "float"
        body += f"    @property\n    def {name}(self) -> {returns}: ...\n"
    scalars = {name for name, _ in e.scalars}
    others = [
        n
        for n in vars(cls)
        if not n.startswith("_")
        and n not in STREAM_COMMON
        and n not in scalars
        and not callable(getattr(cls, n))
    ]
    # The function of several values whose fields these are, if any.
    kin = [k.stem for k in entries if others and set(others) <= set(k.outputs)]
    if kin:
        body += "".join(f"    {line}\n" for line in OTHER_VALUES.format(kin[0]).splitlines())
    body += "".join(f"    {n}: _PerKind[float | None, _Array]\n" for n in others)
    return f"@final\nclass {e.type_name}(Generic[_Value, _History]):\n{body}\n"


def stream_stub(entries):
    template, hand = blocks((TEMPLATES / "tarnwick_stream.pyi.in").read_text())
    streams = [e for e in entries if hasattr(tarnwick_stream, e.type_name)]
    one = " | ".join(f"{e.type_name}[float, list[float]]" for e in streams)
    many = " | ".join(f"{e.type_name}[_Array, _Array]" for e in streams)
    unions = f"_OneSeries: TypeAlias = {one}\n_ManySymbols: TypeAlias = {many}\n"
    classes = "".join(stream_class(e, hand, entries) for e in streams)
    return replace(template, {"unions": unions, "classes": classes})


def frames_stub(entries):
    names = ",\n".join(f"    {e.stem!r}" for e in sorted(entries, key=lambda e: e.stem))
    functions = ""
    for e in entries:
        parameters = [f"{s}: str | pl.Expr" for s in e.series]
        parameters += [f"{name}: {kind}" for name, kind in e.scalars]
        functions += definition(e.stem, [*parameters, "**keywords: Any"], "pl.Expr", "", False)
    return fill(
        "tarnwick_frames_polars.pyi.in",
        {"__all__": f"__all__ = [\n{names},\n]\n", "functions": functions},
    )


def replace(template, parts):
    for marker, text in parts.items():
        template = template.replace(f"#% {marker}\n", text)
    return template


def fill(name, parts):
    return replace((TEMPLATES / name).read_text(), parts)


def formatted(text, path):
    # ruff is the project's formatter: the stubs are laid out as it keeps them.
    done = subprocess.run(
        [sys.executable, "-m", "ruff", "format", "--stdin-filename", str(path), "-"],
        input=text,
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    if done.returncode != 0:
        sys.exit(f"{path.name}: ruff format refused it:\n{done.stderr}")
    return done.stdout


def stubs():
    entries = catalogue()
    return {
        ROOT / "tarnwick_arrays-stubs" / "__init__.pyi": array_stub(entries),
        ROOT / "tarnwick_stream-stubs" / "__init__.pyi": stream_stub(entries),
        ROOT / "tarnwick_frames" / "polars.pyi": frames_stub(entries),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare, do not write")
    check = parser.parse_args().check
    stale = []
    for path, text in stubs().items():
        text = formatted(text, path)
        if path.exists() and path.read_text() == text:
            continue
        stale.append(path.relative_to(ROOT))
        if not check:
            path.write_text(text)
    for path in stale:
        print(f"{path} {'differs from the modules' if check else 'rewritten'}")
    return 1 if check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
