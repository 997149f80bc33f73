"""Chart the three tarnwick indicators over your prices or the bundled ones.

    python examples/chart.py [PRICES.csv] [--out CHART.png]

Without a file it uses the bundled daily prices of AAPL (examples/data). Your
own CSV needs a header row with High, Low and Close columns, and Date for
dates on the axis and a yearly volatility (ISO dates, or one other format
throughout; a newest-first file is put in date order). The chart has three
panels: the close with its high-low range and the Parabolic SAR dots coloured
by the SAR's trend, ADX(14) with +DI and -DI and the 25 line, and the
GARCH(1,1) volatility of the bar-on-bar returns (alpha 0.08, beta 0.90,
omega set so that the long-run variance is the file's mean squared return),
annualised from the bar interval the dates show, or per bar without dates.
Bars with a blank price are passed over (tarnwick_arrays, nan_policy="omit").
"""

import argparse
from pathlib import Path

from prices import (
    ADX_PERIOD,
    ALPHA,
    BETA,
    DEFAULT_FILE,
    SAR_MAX,
    SAR_STEP,
    bar_interval,
    fail,
    indicators,
    load_prices,
)

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    raise SystemExit("this example draws with matplotlib: pip install '.[examples]'") from None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "csv", nargs="?", default=DEFAULT_FILE, help="OHLC prices (default: bundled AAPL)"
    )
    parser.add_argument(
        "--out", default="tarnwick-chart.png", help="PNG file to write (default: %(default)s)"
    )
    args = parser.parse_args()

    if not Path(args.out).resolve().parent.is_dir():
        fail(f"no such folder for --out: {Path(args.out).parent}")
    p = load_prices(args.csv)
    print(p.summary())
    if len(p.frame) - p.blank < 2:
        fail(f"{args.csv}: needs at least two rows with all of High, Low and Close")

    values = indicators(p)
    adx, sar, close = values["adx"], values["sar"], p.frame["Close"]
    omega = float(values["omega"].iloc[0])
    interval = bar_interval(p.frame.index)
    volatility = interval.volatility(values["variance"])

    # Dates on the axis, or bar numbers; matplotlib draws NaN as a gap.
    x = p.frame.index if p.dated else range(len(p.frame))
    fig, (ax_price, ax_adx, ax_vol) = plt.subplots(
        3, 1, sharex=True, figsize=(11, 8), height_ratios=(3, 1.3, 1.3), layout="constrained"
    )
    fig.suptitle(
        f"{p.source.name}, {p.span()}: Parabolic SAR ({SAR_STEP}, {SAR_MAX}), ADX({ADX_PERIOD}), "
        "GARCH(1,1) volatility"
    )

    ax_price.fill_between(
        x, p.frame["Low"], p.frame["High"], color="0.8", linewidth=0, label="high-low range"
    )
    ax_price.plot(x, close, color="black", linewidth=1, label="close")
    for direction, color, label in ((1.0, "tab:green", "rising"), (-1.0, "tab:red", "falling")):
        on = (values["trend"] == direction).tolist()
        ax_price.scatter(
            [xi for xi, b in zip(x, on, strict=True) if b],
            [s for s, b in zip(sar, on, strict=True) if b],
            s=5,
            color=color,
            label=f"SAR, {label} trend",
            zorder=3,
        )
    ax_price.set_ylabel("price")
    ax_price.legend(loc="upper left", fontsize="small")
    ax_price.grid(alpha=0.3)

    ax_adx.plot(x, adx, color="tab:blue", linewidth=1.2, label="ADX")
    ax_adx.plot(x, values["plus_di"], color="tab:green", linewidth=0.8, label="+DI")
    ax_adx.plot(x, values["minus_di"], color="tab:red", linewidth=0.8, label="-DI")
    ax_adx.axhline(25, color="0.5", linestyle="--", linewidth=0.8, label="25: trending")
    ax_adx.set_ylabel(f"DMI({ADX_PERIOD})")
    top = values[["adx", "plus_di", "minus_di"]].max().max()
    ax_adx.set_ylim(0, max(50.0, float(top) * 1.1))
    ax_adx.legend(loc="upper left", fontsize="small", ncols=4)
    ax_adx.grid(alpha=0.3)

    ax_vol.plot(x, volatility, color="tab:purple", linewidth=1)
    ax_vol.set_ylabel(interval.label, fontsize="small")
    ax_vol.set_ylim(bottom=0)
    ax_vol.grid(alpha=0.3)
    ax_vol.text(
        0.01,
        0.95,
        f"omega={omega:.3g}  alpha={ALPHA}  beta={BETA}",
        transform=ax_vol.transAxes,
        va="top",
        fontsize="small",
        color="0.3",
    )

    fig.savefig(args.out, dpi=100)
    last = close.last_valid_index()
    unit = "%/yr" if interval.per_year is not None else "% per bar"
    print(
        f"{p.name}, last bar {p.when(last)}: close {close[last]:g}, SAR {sar[last]:.4g}, "
        f"ADX {adx[last]:.2f}, volatility {volatility[p.frame.index.get_loc(last)]:.1f} {unit}"
    )
    print(f"wrote {Path(args.out).resolve()}")


if __name__ == "__main__":
    main()
