#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <ostream>
#include <string>
#include <unistd.h>

#include "ArchiveFuzzTarget.h"
#include "Classes.h"
#include "FuzzSeeds.h"
#include "ZLIBArchive2.h"

namespace kiva::fuzz {

void PrintTo(const Seed& s, std::ostream* os) {
    *os << s.fileName;
}

namespace {

class FuzzSeedTest : public ::testing::TestWithParam<Seed> {};

// A seed the reader rejects would start the fuzzer far from the code worth exploring, so every
// seed must open and give back exactly what was stored.
TEST_P(FuzzSeedTest, OpensAndExtractsEveryEntryUnchanged) {
    const Seed& seed = GetParam();
    std::string file =
        ::testing::TempDir() + "seed-" + std::to_string(::getpid()) + "-" + seed.fileName;
    sample::WriteFile(file, seed.image.bytes);

    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = true;
    arc.VerifyFileCRC = true;
    arc.Password = seed.plan.password;
    arc.OnDecryptStream = [](TStream& in, TStream& out, std::uint32_t size,
                             const std::string& password) {
        std::string buf(size, '\0');
        in.ReadBuffer(buf.data(), size);
        sample::XorCipher(reinterpret_cast<std::uint8_t*>(buf.data()), buf.size(), password, 0);
        out.WriteBuffer(buf.data(), size);
    };
    ASSERT_TRUE(arc.OpenArchive(file));
    EXPECT_EQ(arc.BaseOffset(), static_cast<TArchiveOffset>(seed.plan.host.size()));
    ASSERT_EQ(arc.FileCount(), static_cast<int>(seed.plan.entries.size()));
    for (std::size_t i = 0; i < seed.plan.entries.size(); ++i) {
        const sample::EntryPlan& e = seed.plan.entries[i];
        TMemoryStream out;
        arc.ExtractIndexToStream(static_cast<int>(i), out, nullptr);
        std::string got(reinterpret_cast<const char*>(out.Memory()),
                        static_cast<std::size_t>(out.Size()));
        EXPECT_EQ(got, e.content) << e.path << e.name;
    }
    arc.CloseArchive();
    std::remove(file.c_str());
}

// The harness's own checks must hold on sound archives under every setting it can pick.
TEST_P(FuzzSeedTest, HarnessAcceptsSeedUnderEverySetting) {
    sample::Bytes bytes = GetParam().image.bytes;
    for (int flags = 0; flags < 256; ++flags) {
        bytes.back() = static_cast<std::uint8_t>(flags);
        EXPECT_NO_THROW(RunArchiveInput(bytes.data(), bytes.size())) << flags;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FuzzSeedTest, ::testing::ValuesIn(SeedArchives()),
                         [](const ::testing::TestParamInfo<Seed>& info) {
                             std::string n;
                             for (char c :
                                  info.param.fileName.substr(0, info.param.fileName.size() - 4)) {
                                 n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return n;
                         });

} // namespace
} // namespace kiva::fuzz
