// Replays every checked-in fuzz input (the seed corpora and the inputs that once broke
// something) through the same target functions the fuzzers run. A target aborts on a broken
// invariant, which fails this program.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*fuzzOne)(const std::uint8_t*, std::size_t);
};

const Target kTargets[] = {
    {"gate", vpifuzz::gate::FuzzOne},
    {"reply", vpifuzz::reply::FuzzOne},
    {"channel", vpifuzz::channel::FuzzOne},
};

std::vector<fs::path> InputsOf(const std::string& folder) {
    std::vector<fs::path> files;
    const fs::path dir = fs::path(VPI_FUZZ_DIR) / folder;
    if (!fs::is_directory(dir)) return files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
            files.push_back(entry.path());
    }
    return files;
}

std::vector<std::uint8_t> Load(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FuzzReplay : public testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, SeedCorpusAndRegressionsKeepEveryInvariant) {
    const Target& target = GetParam();
    const auto seeds = InputsOf(std::string("corpus/") + target.name);
    // The seeds are what the fuzzers start from: an empty folder means a broken checkout.
    ASSERT_GE(seeds.size(), 2u) << "no seeds under " << VPI_FUZZ_DIR << "/corpus/" << target.name;
    auto inputs = seeds;
    const auto regressions = InputsOf(std::string("regressions/") + target.name);
    inputs.insert(inputs.end(), regressions.begin(), regressions.end());
    for (const fs::path& file : inputs) {
        SCOPED_TRACE(file.string());
        const std::vector<std::uint8_t> bytes = Load(file);
        ASSERT_FALSE(bytes.empty());
        // The checks are the targets' own: a broken invariant aborts this process (and so fails
        // the test) inside the call. The targets always return 0, as libFuzzer requires.
        static_cast<void>(target.fuzzOne(bytes.data(), bytes.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(kTargets),
                         [](const testing::TestParamInfo<Target>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
