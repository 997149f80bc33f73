// Kernel-only figures: the time per bar of each kernel writing into a plain C
// array of doubles, with no interpreter anywhere: the floor for any binding
// of these kernels. Built and run by benchmarks/run.py, never installed.
//
//   kernels DATA_DIR N...   reads DATA_DIR/{high,low,close,returns}.f64
//                           (native float64) and prints, per function and n,
//                           "FUNCTION N NS_PER_BAR" (median of batches)
//   kernels rows ROWS N     times ROWS series of N bars each (a random walk
//                           made here, one series per row) through every
//                           path of indicators/rows.hpp this machine has,
//                           beside a memory floor that reads the same inputs
//                           and writes one result of the same size; prints
//                           "FUNCTION PATH NS_PER_BAR_AND_SERIES VS_FLOOR"
//   kernels columns ROWS N  the same with the series side by side (N x ROWS,
//                           a wide frame's layout), through the lanes only
#include "../../indicators/adx.hpp"
#include "../../indicators/garch11.hpp"
#include "../../indicators/parabolic_sar.hpp"
#include "../../indicators/rows.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct ArrayOutput {
    double* values;
    void start(std::size_t) noexcept {}
    void put(std::size_t i, double value) noexcept { values[i] = value; }
};

std::vector<double> read(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    std::vector<double> values(static_cast<std::size_t>(file.tellg()) / sizeof(double));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(values.data()),
              static_cast<std::streamsize>(values.size() * sizeof(double)));
    return values;
}

// Median over batches of the time per bar; a batch lasts about 20 ms.
template <class Run> double ns_per_bar(std::size_t n, Run run) {
    using clock = std::chrono::steady_clock;
    run();
    const auto once_start = clock::now();
    run();
    const double once = std::chrono::duration<double>(clock::now() - once_start).count();
    const int calls = std::max(1, static_cast<int>(0.02 / std::max(once, 1e-9)));
    std::vector<double> batches;
    for (int b = 0; b < 15; ++b) {
        const auto start = clock::now();
        for (int c = 0; c < calls; ++c) {
            run();
        }
        const double seconds = std::chrono::duration<double>(clock::now() - start).count();
        batches.push_back(seconds / calls / static_cast<double>(n) * 1e9);
    }
    std::nth_element(batches.begin(), batches.begin() + 7, batches.end());
    return batches[7];
}

// ROWS x N bars of each series, row after row, or with `by_column` N x ROWS
// (the series side by side, as a wide frame holds them), and the results in
// the same layout.
struct Rows {
    std::size_t rows;
    std::size_t n;
    bool by_column;
    std::vector<double> high, low, close, returns, out;

    Rows(std::size_t r, std::size_t columns, bool side_by_side)
        : rows(r), n(columns), by_column(side_by_side), high(r * columns), low(r * columns),
          close(r * columns), returns(r * columns), out(r * columns) {
        std::uint64_t state = 42;
        const auto uniform = [&] { // in [-0.5, 0.5)
            state = state * 6364136223846793005u + 1442695040888963407u;
            return static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
        };
        for (std::size_t row = 0; row < r; ++row) {
            double price = 100.0;
            for (std::size_t i = 0; i < columns; ++i) {
                const double next = price * (1.0 + 0.02 * uniform());
                const std::size_t at = row * columns + i;
                returns[at] = next / price - 1.0;
                close[at] = next;
                high[at] = std::max(price, next) * (1.0 + 0.01 * (uniform() + 0.5));
                low[at] = std::min(price, next) * (1.0 - 0.01 * (uniform() + 0.5));
                price = next;
            }
        }
        if (by_column) {
            for (std::vector<double>* series : {&high, &low, &close, &returns}) {
                std::vector<double> side_by_side(series->size());
                for (std::size_t row = 0; row < r; ++row) {
                    for (std::size_t i = 0; i < columns; ++i) {
                        side_by_side[i * r + row] = (*series)[row * columns + i];
                    }
                }
                *series = std::move(side_by_side);
            }
        }
    }
    tarnwick::RowBlock block(const double* a, const double* b, const double* c) {
        const auto bytes = [](std::size_t values) {
            return static_cast<std::ptrdiff_t>(values * sizeof(double));
        };
        return {{a, b, c},
                rows,
                n,
                by_column ? 1 : n,
                by_column ? rows : 1,
                reinterpret_cast<char*>(out.data()),
                bytes(by_column ? 1 : n),
                bytes(by_column ? rows : 1)};
    }
    std::span<const double> row(const std::vector<double>& series, std::size_t r) const {
        return {series.data() + r * n, n};
    }
};

// What any pass over the same inputs costs: each input read once and one
// result written, the sum of the inputs (kept, so the loop stays).
double memory_floor(Rows& d, std::size_t inputs) {
    const double* in[3] = {d.returns.data(), d.low.data(), d.close.data()};
    return ns_per_bar(d.rows * d.n, [&] {
        double* out = d.out.data();
        const std::size_t size = d.rows * d.n;
        if (inputs == 1) {
            for (std::size_t i = 0; i < size; ++i) {
                out[i] = in[0][i];
            }
        } else if (inputs == 2) {
            for (std::size_t i = 0; i < size; ++i) {
                out[i] = in[0][i] + in[1][i];
            }
        } else {
            for (std::size_t i = 0; i < size; ++i) {
                out[i] = in[0][i] + in[1][i] + in[2][i];
            }
        }
        __asm__ __volatile__("" : : "r"(out) : "memory");
    });
}

int rows_main(std::size_t rows, std::size_t n, bool by_column) {
    using tarnwick::LanePath;
    Rows d(rows, n, by_column);
    const double floors[3] = {memory_floor(d, 3), memory_floor(d, 2), memory_floor(d, 1)};
    const auto report = [&](const char* function, const char* path, int f, double ns) {
        std::printf("%s %s %.3f %.2f\n", function, path, ns, ns / floors[f]);
        std::fflush(stdout);
    };
    for (int f = 0; f < 3; ++f) {
        report(f == 0 ? "ADX" : f == 1 ? "SAR" : "GARCH", "floor", f, floors[f]);
    }
    const tarnwick::AdxParameters adx = tarnwick::AdxParameters::of_period(14);
    const tarnwick::SarParameters sar = tarnwick::SarParameters::of(0.02, 0.2);
    const tarnwick::Garch11Parameters garch{1e-6, 0.1, 0.85};
    // Row by row through the one-series kernels, which want each series in
    // one piece: for series side by side only the lanes are timed.
    if (!by_column) {
        report("ADX", "scalar", 0, ns_per_bar(rows * n, [&] {
                   for (std::size_t r = 0; r < rows; ++r) {
                       ArrayOutput o{d.out.data() + r * n};
                       (void)tarnwick::compute_adx(o, d.row(d.high, r), d.row(d.low, r),
                                                   d.row(d.close, r), 14);
                   }
               }));
        report("SAR", "scalar", 1, ns_per_bar(rows * n, [&] {
                   for (std::size_t r = 0; r < rows; ++r) {
                       ArrayOutput o{d.out.data() + r * n};
                       (void)tarnwick::compute_parabolic_sar(o, d.row(d.high, r), d.row(d.low, r),
                                                             0.02, 0.2);
                   }
               }));
        report("GARCH", "scalar", 2, ns_per_bar(rows * n, [&] {
                   for (std::size_t r = 0; r < rows; ++r) {
                       ArrayOutput o{d.out.data() + r * n};
                       (void)tarnwick::compute_garch11_variance(o, d.row(d.returns, r), 1e-6, 0.1,
                                                                0.85);
                   }
               }));
    }
    constexpr struct {
        LanePath path;
        const char* name;
    } paths[] = {{LanePath::sse2, "sse2"},
                 {LanePath::neon, "neon"},
                 {LanePath::avx2, "avx2"},
                 {LanePath::avx512, "avx512"}};
    for (const auto& [path, name] : paths) {
        const tarnwick::LaneKernels* k = tarnwick::lane_kernels(path);
        if (k == nullptr) {
            continue;
        }
        const tarnwick::RowBlock ohlc = d.block(d.high.data(), d.low.data(), d.close.data());
        const tarnwick::RowBlock r = d.block(d.returns.data(), nullptr, nullptr);
        report("ADX", name, 0, ns_per_bar(rows * n, [&] { k->adx(ohlc, adx); }));
        report("SAR", name, 1, ns_per_bar(rows * n, [&] { k->sar(ohlc, sar); }));
        report("GARCH", name, 2, ns_per_bar(rows * n, [&] { k->garch11(r, garch, nullptr); }));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (std::string(argv[1]) == "rows" || std::string(argv[1]) == "columns")) {
        return rows_main(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
                         std::string(argv[1]) == "columns");
    }
    if (argc < 3) {
        std::fputs("usage: kernels DATA_DIR N... | kernels rows|columns ROWS N\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<double> high = read(dir + "/high.f64");
    const std::vector<double> low = read(dir + "/low.f64");
    const std::vector<double> close = read(dir + "/close.f64");
    const std::vector<double> returns = read(dir + "/returns.f64");
    for (int a = 2; a < argc; ++a) {
        const auto n = static_cast<std::size_t>(std::strtoull(argv[a], nullptr, 10));
        std::vector<double> out(n);
        ArrayOutput o{out.data()};
        const std::span<const double> h(high.data(), n), l(low.data(), n), c(close.data(), n),
            r(returns.data(), n);
        std::printf("ADX %zu %.3f\n", n,
                    ns_per_bar(n, [&] { (void)tarnwick::compute_adx(o, h, l, c, 14); }));
        std::printf("SAR %zu %.3f\n", n, ns_per_bar(n, [&] {
                        (void)tarnwick::compute_parabolic_sar(o, h, l, 0.02, 0.2);
                    }));
        std::printf("GARCH %zu %.3f\n", n, ns_per_bar(n, [&] {
                        (void)tarnwick::compute_garch11_variance(o, r, 1e-6, 0.1, 0.85);
                    }));
        std::fflush(stdout);
    }
    return 0;
}
