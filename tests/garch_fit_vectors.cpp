// SPDX-License-Identifier: MIT
// Checks the GARCH(1,1) logarithm, likelihood and fit kernels alone against
// tests/garch_fit_vectors.txt, bit for bit, on targets where no Python runs
// the test suite (a 32-bit x86 build, say). A case belongs to the entry of
// `checks` that it names, and must give exactly that entry's inputs.
//
//   garch_fit_vectors PATH    prints one line per failing case and a summary;
//                             exits 1 on any difference, 2 on a bad file
#include "../indicators/garch11_fit.hpp"
#include "vector_reader.hpp"

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vectors::Case;

std::vector<double> logarithms(const Case& c) {
    std::vector<double> got;
    for (const double x : c.numbers("x")) {
        got.push_back(tarnwick::exact_log(x));
    }
    return got;
}

std::vector<double> loglik(const Case& c) {
    return {tarnwick::stored(tarnwick::garch11_loglik(c.numbers("returns"), c.numbers("omega")[0],
                                                      c.numbers("alpha")[0], c.numbers("beta")[0],
                                                      c.numbers("seed")[0]))};
}

// omega alpha beta loglik seed iterations converged, as the file records a fit.
std::vector<double> fit(const Case& c) {
    const std::vector<double> r = c.numbers("returns");
    std::vector<double> scratch(tarnwick::garch11_fit_scratch(r.size()));
    const auto seed =
        c.inputs.count("seed") ? std::optional<double>(c.numbers("seed")[0]) : std::nullopt;
    const auto fields = tarnwick::garch11_fit_fields(tarnwick::garch11_fit(r, seed, scratch));
    return {fields.begin(), fields.end()};
}

struct Check {
    std::string_view function;
    std::vector<std::string_view> inputs; // every one it needs
    std::string_view optional_input;      // one it may be given, or empty
    std::vector<double> (*run)(const Case&);
};

const std::array<Check, 3> checks = {{
    {"log", {"x"}, "", &logarithms},
    {"loglik", {"returns", "omega", "alpha", "beta", "seed"}, "", &loglik},
    {"fit", {"returns"}, "seed", &fit},
}};

// Whether `c` gives every input `check` needs and nothing it does not take.
bool gives_inputs_of(const Case& c, const Check& check) {
    std::size_t known = 0;
    for (const std::string_view input : check.inputs) {
        known += c.inputs.count(std::string(input));
    }
    if (!check.optional_input.empty()) {
        known += c.inputs.count(std::string(check.optional_input));
    }
    return known == c.inputs.size() &&
           (check.inputs.size() == known || check.inputs.size() + 1 == known);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Case> cases;
    if (!vectors::read_cases(argc, argv, "garch_fit_vectors.txt", cases)) {
        return 2;
    }
    int failed = 0;
    for (const Case& c : cases) {
        const Check* check = nullptr;
        for (const Check& candidate : checks) {
            if (candidate.function == c.function && gives_inputs_of(c, candidate)) {
                check = &candidate;
            }
        }
        if (check == nullptr || c.outcome != "expect") {
            std::fprintf(stderr, "case %s %s is not one of the checks' cases\n", c.function.c_str(),
                         c.name.c_str());
            return 2;
        }
        if (!vectors::as_recorded(c, vectors::hex_of(check->run(c)))) {
            ++failed;
        }
    }
    std::printf("%zu cases: %s\n", cases.size(),
                failed == 0 ? "every bit as recorded" : "DIFFERENCES");
    return failed == 0 && !cases.empty() ? 0 : 1;
}
