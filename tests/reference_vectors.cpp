// SPDX-License-Identifier: MIT
// Checks the kernels alone against tests/reference_vectors.txt, bit for bit,
// on targets where no Python runs the test suite (a 32-bit x86 build, say),
// and that every case continued from a state, split at every bar, gives the
// same bits as the whole-series kernel.
//
//   reference_vectors PATH     prints one line per failing case and a summary;
//                              exits 1 on any difference, 2 on a bad file
#include "../indicators/adx.hpp"
#include "../indicators/garch11.hpp"
#include "../indicators/kernel_error.hpp"
#include "../indicators/parabolic_sar.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Collected {
    std::vector<double> values;
    void start(std::size_t n) { values.assign(n, 0.0); }
    void put(std::size_t i, double value) { values[i] = value; }
};

std::uint64_t bits_of(const std::string& token) {
    std::string padded = token;
    padded.resize(16, '0');
    return std::stoull(padded, nullptr, 16);
}

double number(const std::string& token) {
    return std::bit_cast<double>(bits_of(token));
}

struct Case {
    std::string function;
    std::string name;
    std::map<std::string, std::vector<std::string>> inputs;
    std::string outcome; // "expect" or "refuse"
    std::vector<std::string> expected;
};

std::vector<double> series(const Case& c, const std::string& param) {
    std::vector<double> values;
    for (const std::string& token : c.inputs.at(param)) {
        values.push_back(number(token));
    }
    return values;
}

double scalar(const Case& c, const std::string& param) {
    return number(c.inputs.at(param).at(0));
}

std::vector<std::string> hex_of(const std::vector<double>& values);

// The result as the file states it: hex bits, or the refusal's message.
std::vector<std::string> run(const Case& c) {
    Collected out;
    tarnwick::KernelStatus refusal = tarnwick::KernelStatus::ok();
    if (c.function == "adx") {
        refusal =
            tarnwick::compute_adx(out, series(c, "high"), series(c, "low"), series(c, "close"),
                                  std::stoull(c.inputs.at("period").at(0)));
    } else if (c.function == "sar") {
        refusal = tarnwick::compute_parabolic_sar(out, series(c, "high"), series(c, "low"),
                                                  scalar(c, "af_step"), scalar(c, "af_max"));
    } else {
        refusal = tarnwick::compute_garch11_variance(out, series(c, "returns"), scalar(c, "omega"),
                                                     scalar(c, "alpha"), scalar(c, "beta"));
    }
    if (refusal.failed()) {
        return {std::string(tarnwick::message(refusal.error()))};
    }
    return hex_of(out.values);
}

std::vector<std::string> hex_of(const std::vector<double>& values) {
    std::vector<std::string> hex;
    for (double value : values) {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx",
                      static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
        hex.emplace_back(text);
    }
    return hex;
}

// The same series continued from a state: the first `split` bars in one
// extend, then the rest one step at a time (`by_steps`) or in a second extend.
// Every split of a series must give the bits of the whole-series kernel.
std::vector<double> continued(const Case& c, std::size_t split, bool by_steps) {
    std::vector<double> values;
    Collected part;
    const auto take = [&] { values.insert(values.end(), part.values.begin(), part.values.end()); };
    if (c.function == "adx") {
        const std::vector<double> h = series(c, "high"), l = series(c, "low"),
                                  k = series(c, "close");
        const auto p = tarnwick::AdxParameters::of_period(std::stoull(c.inputs.at("period").at(0)));
        tarnwick::AdxState state;
        const std::span<const double> hs(h), ls(l), ks(k);
        tarnwick::adx_extend(part, state, p, hs.first(split), ls.first(split), ks.first(split));
        take();
        if (!by_steps) {
            tarnwick::adx_extend(part, state, p, hs.subspan(split), ls.subspan(split),
                                 ks.subspan(split));
            take();
        }
        for (std::size_t i = split; by_steps && i < h.size(); ++i) {
            values.push_back(tarnwick::adx_step(state, p, h[i], l[i], k[i]));
        }
    } else if (c.function == "sar") {
        const std::vector<double> h = series(c, "high"), l = series(c, "low");
        const auto p = tarnwick::SarParameters::of(scalar(c, "af_step"), scalar(c, "af_max"));
        tarnwick::SarState state;
        const std::span<const double> hs(h), ls(l);
        tarnwick::sar_extend(part, state, p, hs.first(split), ls.first(split));
        take();
        if (!by_steps) {
            tarnwick::sar_extend(part, state, p, hs.subspan(split), ls.subspan(split));
            take();
        }
        for (std::size_t i = split; by_steps && i < h.size(); ++i) {
            values.push_back(tarnwick::sar_step(state, p, h[i], l[i]));
        }
    } else {
        const std::vector<double> r = series(c, "returns");
        const tarnwick::Garch11Parameters p{scalar(c, "omega"), scalar(c, "alpha"),
                                            scalar(c, "beta")};
        tarnwick::Garch11State state;
        if (!r.empty()) {
            tarnwick::garch11_seed_state(state, tarnwick::garch11_seed(r));
        }
        const std::span<const double> rs(r);
        tarnwick::garch11_extend(part, state, p, rs.first(split));
        take();
        if (!by_steps) {
            tarnwick::garch11_extend(part, state, p, rs.subspan(split));
            take();
        }
        for (std::size_t i = split; by_steps && i < r.size(); ++i) {
            values.push_back(tarnwick::garch11_step(state, p, r[i]));
        }
    }
    return values;
}

// The first split, if any, whose continued result differs from `whole`.
int first_differing_split(const Case& c, const std::vector<std::string>& whole) {
    const std::size_t n =
        c.inputs.count("returns") ? c.inputs.at("returns").size() : c.inputs.at("high").size();
    for (std::size_t split = 0; split <= n; ++split) {
        for (const bool by_steps : {true, false}) {
            if (hex_of(continued(c, split, by_steps)) != whole) {
                return static_cast<int>(split);
            }
        }
    }
    return -1;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s reference_vectors.txt\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1]);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<Case> cases;
    for (std::string line; std::getline(file, line);) {
        std::vector<std::string> w = words(line);
        if (w.empty() || w[0][0] == '#') {
            continue;
        }
        if (w[0] == "case" && w.size() == 3) {
            cases.push_back({w[1], w[2], {}, {}, {}});
        } else if (cases.empty()) {
            std::fprintf(stderr, "input before the first case: %s\n", line.c_str());
            return 2;
        } else if (w[0] == "expect") {
            cases.back().outcome = w[0];
            for (std::size_t i = 1; i < w.size(); ++i) {
                std::string padded = w[i];
                padded.resize(16, '0');
                cases.back().expected.push_back(padded);
            }
        } else if (w[0] == "refuse") {
            cases.back().outcome = w[0];
            cases.back().expected = {line.substr(line.find(' ') + 1)};
        } else {
            cases.back().inputs[w[0]].assign(w.begin() + 1, w.end());
        }
    }

    int failed = 0;
    std::map<std::string, int> checked;
    for (const Case& c : cases) {
        if (c.outcome.empty()) {
            std::fprintf(stderr, "case %s %s has no outcome\n", c.function.c_str(), c.name.c_str());
            return 2;
        }
        const std::vector<std::string> got = run(c);
        ++checked[c.function];
        if (c.outcome == "expect") {
            if (const int split = first_differing_split(c, got); split >= 0) {
                ++failed;
                std::printf("FAIL %s %s: continued from bar %d differs from the whole series\n",
                            c.function.c_str(), c.name.c_str(), split);
            }
        }
        if (got != c.expected) {
            ++failed;
            std::printf("FAIL %s %s\n", c.function.c_str(), c.name.c_str());
            for (std::size_t i = 0; i < got.size() || i < c.expected.size(); ++i) {
                const char* g = i < got.size() ? got[i].c_str() : "(none)";
                const char* e = i < c.expected.size() ? c.expected[i].c_str() : "(none)";
                if (i >= got.size() || i >= c.expected.size() || got[i] != c.expected[i]) {
                    std::printf("  [%zu] got %s, expected %s\n", i, g, e);
                }
            }
        }
    }
    if (checked.size() != 3) {
        std::fprintf(stderr, "expected cases for adx, sar and garch\n");
        return 2;
    }
    std::printf("%d adx, %d sar, %d garch cases: %s\n", checked["adx"], checked["sar"],
                checked["garch"], failed == 0 ? "every bit as recorded" : "DIFFERENCES");
    return failed == 0 ? 0 : 1;
}
