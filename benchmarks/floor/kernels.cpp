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
//
// TARNWICK_KERNELS_CLOCK=thread times in this thread's CPU time (POSIX).
#include "../../indicators/catalogue.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <time.h>
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

// Seconds on the clock of every figure: the steady clock, or this thread's
// CPU time with TARNWICK_KERNELS_CLOCK=thread (on a shared machine, wall time
// swings several-fold with the other work).
double seconds() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    static const bool thread = [] {
        const char* clock = std::getenv("TARNWICK_KERNELS_CLOCK");
        return clock != nullptr && std::string(clock) == "thread";
    }();
    if (thread) {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    }
#endif
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Median over batches of the time per bar; a batch lasts about 20 ms.
template <class Run> double ns_per_bar(std::size_t n, Run run) {
    run();
    const double once_start = seconds();
    run();
    const double once = seconds() - once_start;
    const int calls = std::max(1, static_cast<int>(0.02 / std::max(once, 1e-9)));
    std::vector<double> batches;
    for (int b = 0; b < 15; ++b) {
        const double start = seconds();
        for (int c = 0; c < calls; ++c) {
            run();
        }
        batches.push_back((seconds() - start) / calls / static_cast<double>(n) * 1e9);
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
    // The inputs by the name of the parameter that takes them.
    const std::vector<double>& series(std::string_view name) const {
        return name == "high" ? high : name == "low" ? low : name == "close" ? close : returns;
    }
    tarnwick::RowBlock block(const double* const* series_of) {
        const auto bytes = [](std::size_t values) {
            return static_cast<std::ptrdiff_t>(values * sizeof(double));
        };
        return {.series = series_of,
                .rows = rows,
                .columns = n,
                .in_row = by_column ? 1 : n,
                .in_column = by_column ? rows : 1,
                .out = reinterpret_cast<char*>(out.data()),
                .out_row = bytes(by_column ? 1 : n),
                .out_column = bytes(by_column ? rows : 1)};
    }
    std::span<const double> row(const std::vector<double>& values, std::size_t r) const {
        return {values.data() + r * n, n};
    }
};

// The settings every figure uses, by parameter name.
double setting(std::string_view name) {
    static const std::map<std::string_view, double> settings = {{"period", 14.0}, {"af_step", 0.02},
                                                                {"af_max", 0.2},  {"omega", 1e-6},
                                                                {"alpha", 0.1},   {"beta", 0.85}};
    return settings.at(name);
}

// Indicator `E`'s arguments: each series from `series_of(name)`, each scalar
// its setting.
template <class E, class SeriesOf> auto arguments(SeriesOf series_of) {
    return [&]<std::size_t... J>(std::index_sequence<J...>) {
        return std::tuple{[&]()->tarnwick::ArgumentOf<E::parameters[J].kind>{
            constexpr tarnwick::Parameter p = E::parameters[J];
        if constexpr (p.kind == tarnwick::Kind::series) {
            return series_of(p.name);
        } else if constexpr (p.kind == tarnwick::Kind::real) {
            return setting(p.name);
        } else {
            return static_cast<std::uint64_t>(setting(p.name));
        }
    }()...
};
}
(std::make_index_sequence<E::parameters.size()>{});
}

// The name a figure carries: the one benchmarks/run.py and panels.py read.
std::string label_of(std::string_view stem) {
    static const std::map<std::string_view, std::string> labels = {
        {"adx", "ADX"}, {"parabolic_sar", "SAR"}, {"garch11_variance", "GARCH"}};
    const auto found = labels.find(stem);
    return found == labels.end() ? std::string(stem) : found->second;
}

// What any pass over the same inputs costs: each input read once and one
// result written, the sum of the inputs (kept, so the loop stays).
double memory_floor(Rows& d, std::size_t inputs) {
    const double* in[3] = {d.returns.data(), d.low.data(), d.close.data()};
    inputs = inputs < 3 ? inputs : 3;
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

// One indicator's figures: row by row through its one-series kernel (which
// wants each series in one piece, so for series side by side only the lanes
// are timed), then through every lane path this machine has.
template <class E> void rows_of(Rows& d, bool by_column) {
    using tarnwick::LanePath;
    constexpr std::size_t inputs = tarnwick::series_count<E>;
    const std::string label = label_of(E::stem);
    const double floor = memory_floor(d, inputs);
    const auto report = [&](const char* path, double ns) {
        std::printf("%s %s %.3f %.2f\n", label.c_str(), path, ns, ns / floor);
        std::fflush(stdout);
    };
    report("floor", floor);
    const std::size_t values = d.rows * d.n;
    if (!by_column) {
        report("scalar", ns_per_bar(values, [&] {
                   for (std::size_t r = 0; r < d.rows; ++r) {
                       ArrayOutput o{d.out.data() + r * d.n};
                       std::apply(
                           [&](auto... a) { (void)E::template kernel<ArrayOutput>(o, a...); },
                           arguments<E>(
                               [&](std::string_view name) { return d.row(d.series(name), r); }));
                   }
               }));
    }
    const auto all = arguments<E>(
        [&](std::string_view name) { return std::span<const double>(d.series(name)); });
    const typename E::Settings settings =
        [&]<std::size_t... S, std::size_t... R>(std::index_sequence<S...>,
                                                std::index_sequence<R...>) {
            return E::settings(std::get<inputs + R>(all)...).value();
        }(std::make_index_sequence<inputs>{},
          std::make_index_sequence<E::parameters.size() - inputs>{});
    const double* series[inputs];
    for (std::size_t k = 0; k < inputs; ++k) {
        series[k] = d.series(E::parameters[k].name).data();
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
        const tarnwick::RowBlock block = d.block(series);
        const tarnwick::RowsEntry entry =
            k->entries[tarnwick::position_of<E>(tarnwick::Catalogue{})];
        report(name, ns_per_bar(values, [&] { entry(block, &settings); }));
    }
}

int rows_main(std::size_t rows, std::size_t n, bool by_column) {
    Rows d(rows, n, by_column);
    [&]<class... E>(tarnwick::IndicatorList<E...>) {
        (rows_of<E>(d, by_column), ...);
    }(tarnwick::Catalogue{});
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
        const auto series_of = [&](std::string_view name) {
            const std::vector<double>& all = name == "high"    ? high
                                             : name == "low"   ? low
                                             : name == "close" ? close
                                                               : returns;
            return std::span<const double>(all.data(), n);
        };
        [&]<class... E>(tarnwick::IndicatorList<E...>) {
            ((std::printf("%s %zu %.3f\n", label_of(E::stem).c_str(), n,
                          ns_per_bar(n,
                                     [&] {
                                         std::apply(
                                             [&](auto... x) {
                                                 (void)E::template kernel<ArrayOutput>(o, x...);
                                             },
                                             arguments<E>(series_of));
                                     }))),
             ...);
        }(tarnwick::Catalogue{});
        std::fflush(stdout);
    }
    return 0;
}
