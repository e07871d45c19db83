// Runs every fuzz entry point with the normal compiler over its generated seed
// corpus and a fixed set of mutations of it, so that ordinary CI exercises the
// same properties the libFuzzer runs check. A broken property fails the case and
// leaves the input in the working directory for the fuzzer program to replay.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "FuzzTargets.h"

namespace fuzz {
void PrintTo(const Target &t, std::ostream *os) { *os << t.name; }
} // namespace fuzz

namespace {

struct PropertyBroken : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void throwOnFailure(const char *what) { throw PropertyBroken(what); }

// Mutations of the kinds a fuzzer makes: byte flips, interesting values,
// insertions, deletions, truncation and splices with another seed.
fuzz::Input mutate(const fuzz::Input &base, const std::vector<fuzz::Input> &all, std::mt19937 &rng) {
    fuzz::Input in = base;
    static const uint8_t kInteresting[] = {0x00, 0x01, 0x02, 0x04, 0x07, 0x08, 0x10, 0x20, 0x3F,
                                           0x40, 0x7F, 0x80, 0xA5, 0xC8, 0xE5, 0xFE, 0xFF};
    const int steps = 1 + int(rng() % 4);
    for (int s = 0; s < steps; ++s) {
        const size_t at = in.empty() ? 0 : rng() % in.size();
        switch (rng() % 6) {
        case 0:
            if (!in.empty()) in[at] ^= uint8_t(1u << (rng() % 8));
            break;
        case 1:
            if (!in.empty()) in[at] = kInteresting[rng() % sizeof kInteresting];
            break;
        case 2: in.insert(in.begin() + long(at), uint8_t(rng())); break;
        case 3:
            if (!in.empty()) in.erase(in.begin() + long(at));
            break;
        case 4: in.resize(at); break;
        case 5: {
            const fuzz::Input &other = all[rng() % all.size()];
            if (other.empty()) break;
            const size_t from = rng() % other.size();
            const size_t n = std::min<size_t>(other.size() - from, 1 + rng() % 600);
            in.insert(in.begin() + long(at), other.begin() + long(from), other.begin() + long(from + n));
            break;
        }
        }
    }
    return in;
}

int rounds() {
    const char *env = std::getenv("QUENDAL_FUZZ_CORPUS_ROUNDS");
    return env ? std::max(1, std::atoi(env)) : 60;
}

class FuzzCorpus : public ::testing::TestWithParam<fuzz::Target> {};

TEST_P(FuzzCorpus, PropertiesHoldOverSeedsAndMutations) {
    const fuzz::Target &t = GetParam();
    fuzz::setFailHandler(throwOnFailure);
    const std::vector<fuzz::Input> seeds = t.seeds();
    ASSERT_FALSE(seeds.empty());
    std::mt19937 rng(20261208);
    std::vector<fuzz::Input> cases = seeds;
    for (int r = 0; r < rounds(); ++r)
        for (const fuzz::Input &s : seeds) cases.push_back(mutate(s, seeds, rng));
    int broken = 0;
    for (size_t i = 0; i < cases.size() && broken < 3; ++i) {
        try {
            t.run(cases[i].data(), cases[i].size());
        } catch (const PropertyBroken &e) {
            const std::string file = std::string("fuzz-failure-") + t.name + "-" + std::to_string(i);
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char *>(cases[i].data()), std::streamsize(cases[i].size()));
            ADD_FAILURE() << t.name << " case " << i << ": " << e.what() << " (input kept in " << file << ")";
            ++broken;
        }
    }
    fuzz::setFailHandler(nullptr);
}

INSTANTIATE_TEST_SUITE_P(AllTargets, FuzzCorpus, ::testing::ValuesIn(fuzz::targets()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
