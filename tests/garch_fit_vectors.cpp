// SPDX-License-Identifier: MIT
// Checks the GARCH(1,1) logarithm, likelihood and fit kernels alone against
// tests/garch_fit_vectors.txt, bit for bit, on targets where no Python runs
// the test suite (a 32-bit x86 build, say).
//
//   garch_fit_vectors PATH    prints one line per failing case and a summary;
//                             exits 1 on any difference, 2 on a bad file
#include "../indicators/garch11_fit.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

double number(std::string token) {
    token.resize(16, '0');
    return std::bit_cast<double>(static_cast<std::uint64_t>(std::stoull(token, nullptr, 16)));
}

std::string hex(double value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    return text;
}

struct Case {
    std::string function;
    std::string name;
    std::map<std::string, std::vector<double>> inputs;
    std::vector<std::string> expected;
};

std::vector<std::string> run(const Case& c) {
    std::vector<double> got;
    if (c.function == "log") {
        for (const double x : c.inputs.at("x")) {
            got.push_back(tarnwick::exact_log(x));
        }
    } else {
        const std::vector<double>& r = c.inputs.at("returns");
        if (c.function == "loglik") {
            got.push_back(tarnwick::stored(
                tarnwick::garch11_loglik(r, c.inputs.at("omega")[0], c.inputs.at("alpha")[0],
                                         c.inputs.at("beta")[0], c.inputs.at("seed")[0])));
        } else {
            std::vector<double> scratch(5 * r.size());
            const auto seed = c.inputs.count("seed") ? std::optional<double>(c.inputs.at("seed")[0])
                                                     : std::nullopt;
            const auto fields =
                tarnwick::garch11_fit_fields(tarnwick::garch11_fit(r, seed, scratch));
            got.assign(fields.begin(), fields.end());
        }
    }
    std::vector<std::string> out;
    for (const double v : got) {
        out.push_back(hex(v));
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s garch_fit_vectors.txt\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1]);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<Case> cases;
    for (std::string line; std::getline(file, line);) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) {
            w.push_back(word);
        }
        if (w.empty() || w[0][0] == '#') {
            continue;
        }
        if (w[0] == "case" && w.size() == 3) {
            cases.push_back({w[1], w[2], {}, {}});
        } else if (cases.empty()) {
            std::fprintf(stderr, "input before the first case: %s\n", line.c_str());
            return 2;
        } else if (w[0] == "expect") {
            for (std::size_t i = 1; i < w.size(); ++i) {
                cases.back().expected.push_back(hex(number(w[i])));
            }
        } else {
            for (std::size_t i = 1; i < w.size(); ++i) {
                cases.back().inputs[w[0]].push_back(number(w[i]));
            }
        }
    }
    int failed = 0;
    for (const Case& c : cases) {
        const std::vector<std::string> got = run(c);
        if (got != c.expected) {
            ++failed;
            std::printf("FAIL %s %s\n", c.function.c_str(), c.name.c_str());
            for (std::size_t i = 0; i < got.size() && i < c.expected.size(); ++i) {
                if (got[i] != c.expected[i]) {
                    std::printf("  [%zu] got %s, expected %s\n", i, got[i].c_str(),
                                c.expected[i].c_str());
                }
            }
        }
    }
    std::printf("%zu cases: %s\n", cases.size(),
                failed == 0 ? "every bit as recorded" : "DIFFERENCES");
    return failed == 0 && !cases.empty() ? 0 : 1;
}
