// Kernel-only figures: the time per bar of each kernel writing into a plain C
// array of doubles, with no interpreter anywhere: the floor for any binding
// of these kernels. Built and run by benchmarks/run.py, never installed.
//
//   kernels DATA_DIR N...   reads DATA_DIR/{high,low,close,returns}.f64
//                           (native float64) and prints, per function and n,
//                           "FUNCTION N NS_PER_BAR" (median of batches)
#include "../../indicators/adx.hpp"
#include "../../indicators/garch11.hpp"
#include "../../indicators/parabolic_sar.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
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

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: kernels DATA_DIR N...\n", stderr);
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
