// SPDX-License-Identifier: MIT
// Checks the kernels alone against tests/reference_vectors.txt, bit for bit,
// on targets where no Python runs the test suite (a 32-bit x86 build, say),
// and that every case continued from a state, split at every bar, gives the
// same bits as the whole-series kernel. A case belongs to the catalogue's
// indicator whose parameters it names.
//
//   reference_vectors PATH     prints one line per failing case and a summary;
//                              exits 1 on any difference, 2 on a bad file
#include "../indicators/catalogue.hpp"
#include "vector_reader.hpp"

#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using vectors::Case;
using vectors::hex_of;
using vectors::number;

struct Collected {
    std::vector<double> values;
    void start(std::size_t n) { values.assign(n, 0.0); }
    void put(std::size_t i, double value) { values[i] = value; }
};

// A case's inputs as indicator `E` takes them; the series are kept in
// `storage`, which must outlive the spans.
template <class E, std::size_t J>
tarnwick::ArgumentOf<E::parameters[J].kind> argument(const Case& c,
                                                     std::vector<std::vector<double>>& storage) {
    constexpr tarnwick::Parameter p = E::parameters[J];
    const std::vector<std::string>& tokens = c.inputs.at(std::string(p.name));
    if constexpr (p.kind == tarnwick::Kind::series) {
        std::vector<double>& values = storage[J];
        for (const std::string& token : tokens) {
            values.push_back(number(token));
        }
        return values;
    } else if constexpr (p.kind == tarnwick::Kind::real) {
        return number(tokens.at(0));
    } else {
        return std::stoull(tokens.at(0));
    }
}

template <class E> auto arguments(const Case& c, std::vector<std::vector<double>>& storage) {
    storage.resize(E::parameters.size());
    return [&]<std::size_t... J>(std::index_sequence<J...>) {
        return std::tuple{argument<E, J>(c, storage)...};
    }(std::make_index_sequence<E::parameters.size()>{});
}

// The result as the file states it: hex bits, or the refusal's message.
template <class E> std::vector<std::string> run(const Case& c) {
    std::vector<std::vector<double>> storage;
    Collected out;
    const tarnwick::KernelStatus refusal =
        std::apply([&](auto... a) { return E::template kernel<Collected>(out, a...); },
                   arguments<E>(c, storage));
    if (refusal.failed()) {
        return {std::string(tarnwick::message(refusal.error()))};
    }
    return hex_of(out.values);
}

// The same series continued from a state that began from the whole series:
// the first `split` bars in one extend, then the rest one step at a time
// (`by_steps`) or in a second extend. Every split of a series must give the
// bits of the whole-series kernel.
template <class E> std::vector<double> continued(const Case& c, std::size_t split, bool by_steps) {
    constexpr std::size_t count = tarnwick::series_count<E>;
    std::vector<std::vector<double>> storage;
    const auto all = arguments<E>(c, storage);
    return [&]<std::size_t... S, std::size_t... R>(std::index_sequence<S...>,
                                                   std::index_sequence<R...>) {
        std::vector<double> values;
        Collected part;
        const auto take = [&] {
            values.insert(values.end(), part.values.begin(), part.values.end());
        };
        const typename E::Settings p = E::settings(std::get<count + R>(all)...).value();
        typename E::State state{};
        E::begin(state, p, {std::get<S>(all)...});
        (void)E::extend(part, state, p, std::get<S>(all).first(split)...);
        take();
        if (!by_steps) {
            (void)E::extend(part, state, p, std::get<S>(all).subspan(split)...);
            take();
        }
        for (std::size_t i = split; by_steps && i < std::get<0>(all).size(); ++i) {
            const double bar[] = {std::get<S>(all)[i]...};
            values.push_back(E::step(state, p, bar));
        }
        return values;
    }(std::make_index_sequence<count>{}, std::make_index_sequence<E::parameters.size() - count>{});
}

// The first split, if any, whose continued result differs from `whole`.
template <class E> int first_differing_split(const Case& c, const std::vector<std::string>& whole) {
    const std::size_t n = c.inputs.at(std::string(E::parameters[0].name)).size();
    for (std::size_t split = 0; split <= n; ++split) {
        for (const bool by_steps : {true, false}) {
            if (hex_of(continued<E>(c, split, by_steps)) != whole) {
                return static_cast<int>(split);
            }
        }
    }
    return -1;
}

// Whether `c` names exactly the parameters of `E`.
template <class E> bool names_parameters_of(const Case& c) {
    if (c.inputs.size() != E::parameters.size()) {
        return false;
    }
    for (const tarnwick::Parameter& p : E::parameters) {
        if (c.inputs.count(std::string(p.name)) == 0) {
            return false;
        }
    }
    return true;
}

struct Checked {
    std::vector<std::string> got;
    int split = -1; // the first split that differs, for an expected result
};

// Runs `c` through the indicator whose parameters it names; false if none.
template <class... E>
bool check(const Case& c, tarnwick::IndicatorList<E...>, Checked& checked, std::string& stem) {
    return ((names_parameters_of<E>(c) &&
             (stem = E::stem, checked.got = run<E>(c),
              checked.split = c.outcome == "expect" ? first_differing_split<E>(c, checked.got) : -1,
              true)) ||
            ...);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Case> cases;
    if (!vectors::read_cases(argc, argv, "reference_vectors.txt", cases)) {
        return 2;
    }
    int failed = 0;
    std::map<std::string, int> checked;
    for (const Case& c : cases) {
        Checked result;
        std::string stem;
        if (!check(c, tarnwick::Catalogue{}, result, stem)) {
            std::fprintf(stderr, "case %s %s names the parameters of no indicator\n",
                         c.function.c_str(), c.name.c_str());
            return 2;
        }
        ++checked[stem];
        if (result.split >= 0) {
            ++failed;
            std::printf("FAIL %s %s: continued from bar %d differs from the whole series\n",
                        c.function.c_str(), c.name.c_str(), result.split);
        }
        if (!vectors::as_recorded(c, result.got)) {
            ++failed;
        }
    }
    if (checked.size() != tarnwick::Catalogue::size) {
        std::fprintf(stderr, "expected cases for every indicator of the catalogue\n");
        return 2;
    }
    for (const auto& [stem, count] : checked) {
        std::printf("%d %s, ", count, stem.c_str());
    }
    std::printf("cases: %s\n", failed == 0 ? "every bit as recorded" : "DIFFERENCES");
    return failed == 0 ? 0 : 1;
}
