"""Chart the three tarnwick indicators over daily prices.

    python examples/chart.py [PRICES.csv] [--out CHART.png]

Without a file it uses the bundled daily prices of AAPL (examples/data). Your
own CSV needs a header row with High, Low and Close columns, and Date if the
chart should show dates. The chart has three panels: the close with its
high-low range and the Parabolic SAR dots, ADX(14), and the GARCH(1,1)
volatility of the daily returns, annualised.
"""

import argparse
import datetime
import math
from pathlib import Path

import tarnwick
from prices import DEFAULT_FILE, garch_parameters, load_prices, simple_returns

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    raise SystemExit("this example draws with matplotlib: pip install '.[examples]'") from None

ADX_PERIOD = 14
SAR_STEP, SAR_MAX = 0.02, 0.2
TRADING_DAYS = 252


def x_axis(dates: list[str]) -> list[datetime.date] | list[int]:
    try:
        return [datetime.date.fromisoformat(d.strip()) for d in dates]
    except ValueError:
        return list(range(len(dates)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "csv", nargs="?", default=DEFAULT_FILE, help="daily OHLC prices (default: bundled AAPL)"
    )
    parser.add_argument(
        "--out", default="tarnwick-chart.png", help="PNG file to write (default: %(default)s)"
    )
    args = parser.parse_args()

    p = load_prices(args.csv)
    if len(p.close) < 2:
        raise SystemExit(f"{args.csv}: needs at least two rows of prices")

    adx = tarnwick.native_adx(p.high, p.low, p.close, ADX_PERIOD)
    sar = tarnwick.native_parabolic_sar(p.high, p.low, SAR_STEP, SAR_MAX)
    returns = simple_returns(p.close)
    omega, alpha, beta = garch_parameters(returns)
    variance = tarnwick.native_garch11_variance(returns, omega, alpha, beta)
    # variance[i] uses returns[i], the move into bar i + 1; show it there.
    volatility = [math.nan] + [100.0 * math.sqrt(v * TRADING_DAYS) for v in variance]

    x = x_axis(p.dates)
    fig, (ax_price, ax_adx, ax_vol) = plt.subplots(
        3, 1, sharex=True, figsize=(11, 8), height_ratios=(3, 1.3, 1.3), layout="constrained"
    )
    fig.suptitle(
        f"{p.name}: Parabolic SAR ({SAR_STEP}, {SAR_MAX}), ADX({ADX_PERIOD}), GARCH(1,1) volatility"
    )

    ax_price.fill_between(x, p.low, p.high, color="0.8", linewidth=0, label="high-low range")
    ax_price.plot(x, p.close, color="black", linewidth=1, label="close")
    below = [s < c for s, c in zip(sar, p.close, strict=True)]
    ax_price.scatter(
        [xi for xi, b in zip(x, below, strict=True) if b],
        [s for s, b in zip(sar, below, strict=True) if b],
        s=5,
        color="tab:green",
        label="SAR, rising trend",
        zorder=3,
    )
    ax_price.scatter(
        [xi for xi, b in zip(x, below, strict=True) if not b],
        [s for s, b in zip(sar, below, strict=True) if not b],
        s=5,
        color="tab:red",
        label="SAR, falling trend",
        zorder=3,
    )
    ax_price.set_ylabel("price")
    ax_price.legend(loc="upper left", fontsize="small")
    ax_price.grid(alpha=0.3)

    ax_adx.plot(x, adx, color="tab:blue", linewidth=1)
    ax_adx.axhline(25, color="0.5", linestyle="--", linewidth=0.8)
    ax_adx.set_ylabel(f"ADX({ADX_PERIOD})")
    ax_adx.set_ylim(0, max(50.0, max(a for a in adx if not math.isnan(a)) * 1.1))
    ax_adx.grid(alpha=0.3)

    ax_vol.plot(x, volatility, color="tab:purple", linewidth=1)
    ax_vol.set_ylabel("volatility, %/yr")
    ax_vol.set_ylim(bottom=0)
    ax_vol.grid(alpha=0.3)
    ax_vol.text(
        0.01,
        0.95,
        f"omega={omega:.3g}  alpha={alpha}  beta={beta}",
        transform=ax_vol.transAxes,
        va="top",
        fontsize="small",
        color="0.3",
    )

    fig.savefig(args.out, dpi=100)
    last = len(p.close) - 1
    print(
        f"{p.name}, {len(p.close)} bars; last bar {p.dates[last]}: close {p.close[last]:g}, "
        f"SAR {sar[last]:.4g}, ADX {adx[last]:.2f}, volatility {volatility[last]:.1f} %/yr"
    )
    print(f"wrote {Path(args.out).resolve()}")


if __name__ == "__main__":
    main()
