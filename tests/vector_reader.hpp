// SPDX-License-Identifier: MIT
// The case files of the kernel-only checkers (reference_vectors.cpp,
// garch_fit_vectors.cpp), read one way: "case FUNCTION NAME", its inputs one
// per line, then "expect" with the result's bits or "refuse" with the
// message. Numbers are big-endian hex of a double, trailing zeros dropped.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace vectors {

inline std::string padded(std::string token) {
    token.resize(16, '0');
    return token;
}

inline double number(const std::string& token) {
    return std::bit_cast<double>(
        static_cast<std::uint64_t>(std::stoull(padded(token), nullptr, 16)));
}

inline std::vector<std::string> hex_of(const std::vector<double>& values) {
    std::vector<std::string> hex;
    for (const double value : values) {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx",
                      static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
        hex.emplace_back(text);
    }
    return hex;
}

struct Case {
    std::string function;
    std::string name;
    std::map<std::string, std::vector<std::string>> inputs; // the tokens as written
    std::string outcome;                                    // "expect" or "refuse"
    std::vector<std::string> expected; // 16-digit hex, or the refusal's message

    // An input's numbers; a real parameter is the first.
    std::vector<double> numbers(const std::string& input) const {
        std::vector<double> values;
        for (const std::string& token : inputs.at(input)) {
            values.push_back(number(token));
        }
        return values;
    }
};

inline std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

// The cases of the file named on the command line; false, with the reason on
// stderr, for a bad command line or a bad file (the checkers then exit 2).
inline bool read_cases(int argc, char** argv, const char* file_name, std::vector<Case>& cases) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s %s\n", argv[0], file_name);
        return false;
    }
    std::ifstream file(argv[1]);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return false;
    }
    for (std::string line; std::getline(file, line);) {
        const std::vector<std::string> w = words(line);
        if (w.empty() || w[0][0] == '#') {
            continue;
        }
        if (w[0] == "case" && w.size() == 3) {
            cases.push_back({w[1], w[2], {}, {}, {}});
        } else if (cases.empty()) {
            std::fprintf(stderr, "input before the first case: %s\n", line.c_str());
            return false;
        } else if (w[0] == "expect") {
            cases.back().outcome = w[0];
            for (std::size_t i = 1; i < w.size(); ++i) {
                cases.back().expected.push_back(padded(w[i]));
            }
        } else if (w[0] == "refuse") {
            cases.back().outcome = w[0];
            cases.back().expected = {line.substr(line.find(' ') + 1)};
        } else {
            cases.back().inputs[w[0]].assign(w.begin() + 1, w.end());
        }
    }
    for (const Case& c : cases) {
        if (c.outcome.empty()) {
            std::fprintf(stderr, "case %s %s has no outcome\n", c.function.c_str(), c.name.c_str());
            return false;
        }
    }
    return true;
}

// Whether `got` is the case's recorded result; if not, prints the case and
// each position that differs.
inline bool as_recorded(const Case& c, const std::vector<std::string>& got) {
    if (got == c.expected) {
        return true;
    }
    std::printf("FAIL %s %s\n", c.function.c_str(), c.name.c_str());
    for (std::size_t i = 0; i < got.size() || i < c.expected.size(); ++i) {
        const char* g = i < got.size() ? got[i].c_str() : "(none)";
        const char* e = i < c.expected.size() ? c.expected[i].c_str() : "(none)";
        if (i >= got.size() || i >= c.expected.size() || got[i] != c.expected[i]) {
            std::printf("  [%zu] got %s, expected %s\n", i, g, e);
        }
    }
    return false;
}

} // namespace vectors
