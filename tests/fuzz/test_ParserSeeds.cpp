// Every seed of the parsers' fuzzers, and every input that once broke a parser, goes through
// the fuzz targets' own checks on each test run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "HttpFuzzTarget.h"
#include "UrlFuzzTarget.h"

namespace kiva::fuzz {
namespace {

namespace fs = std::filesystem;

struct SeedFile {
    std::string Target; // the seeds' folder: "http" or "url"
    fs::path Path;
};

void PrintTo(const SeedFile& s, std::ostream* os) {
    *os << s.Target << "/" << s.Path.filename().string();
}

std::vector<SeedFile> SeedFiles() {
    std::vector<SeedFile> files;
    for (const char* target : {"http", "url"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(KIVA_FUZZ_SEEDS) / target)) {
            files.push_back({target, entry.path()});
        }
    }
    std::sort(files.begin(), files.end(),
              [](const SeedFile& a, const SeedFile& b) { return a.Path < b.Path; });
    return files;
}

class ParserSeeds : public ::testing::TestWithParam<SeedFile> {};

TEST_P(ParserSeeds, KeepEveryPromiseOfTheParsers) {
    std::ifstream in(GetParam().Path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (GetParam().Target == "http") {
        EXPECT_NO_THROW(RunHttpInput(data, bytes.size()));
    } else {
        EXPECT_NO_THROW(RunUrlInput(data, bytes.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ParserSeeds, ::testing::ValuesIn(SeedFiles()),
                         [](const ::testing::TestParamInfo<SeedFile>& info) {
                             std::string n = info.param.Target + "_";
                             for (char c : info.param.Path.stem().string()) {
                                 n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return n;
                         });

} // namespace
} // namespace kiva::fuzz
