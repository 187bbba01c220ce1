#include "ZLibEx.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "TestArchive.h"

using namespace kiva;
using namespace kivatest;

namespace {

// A source holding a zlib stream between other bytes, as an entry sits inside an archive.
struct Framed {
    TMemoryStream source;
    Bytes content;
    std::int64_t start = 0, end = 0;

    Framed(const Bytes& plain, const Bytes& before = "HEAD", const Bytes& after = "TAIL") {
        content = plain;
        const Bytes z = Deflate(plain);
        source.WriteBuffer(before.data(), static_cast<std::int64_t>(before.size()));
        start = source.Position();
        source.WriteBuffer(z.data(), static_cast<std::int64_t>(z.size()));
        end = source.Position();
        source.WriteBuffer(after.data(), static_cast<std::int64_t>(after.size()));
        source.SetPosition(start);
    }
};

Bytes ReadAll(TStream& s, std::int64_t step) {
    Bytes out;
    Bytes buf(static_cast<std::size_t>(step), '\0');
    for (;;) {
        std::int64_t n = s.Read(buf.data(), step);
        if (n == 0) {
            return out;
        }
        out.append(buf.data(), static_cast<std::size_t>(n));
    }
}

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "<no exception>";
}

} // namespace

TEST(ZLibExError, CodeTextsAreZlibsOwn) {
    const std::pair<int, const char*> table[] = {
        {2, "need dictionary"},      {1, "stream end"},    {0, "ok"},
        {-1, "file error"},          {-2, "stream error"}, {-3, "data error"},
        {-4, "insufficient memory"}, {-5, "buffer error"}, {-6, "incompatible version"},
    };
    for (const auto& [code, text] : table) {
        EZDecompressionError e(code);
        EXPECT_EQ(e.Message(), text) << code;
        EXPECT_EQ(e.Code(), code);
    }
}

TEST(ZDecompressionStream, OneByteReadsDeliverEverythingAndStopAfterTheStream) {
    // Larger than the 64 KiB input buffer, so the input is refilled several times.
    Framed f(Noise(200000));
    TZDecompressionStream z(f.source);
    int refills = 0;
    z.OnProgress = [&](TCustomZStream*) { ++refills; };
    EXPECT_EQ(ReadAll(z, 1), f.content);
    EXPECT_EQ(f.source.Position(), f.end);
    EXPECT_GE(refills, 3);
    char c;
    EXPECT_EQ(z.Read(&c, 1), 0);
    EXPECT_EQ(f.source.Position(), f.end);
}

TEST(ZDecompressionStream, SourceStandsJustAfterTheStreamForLargeReads) {
    for (std::size_t size : {0u, 1u, 5000u, 70000u}) {
        Framed f(Text(size));
        TZDecompressionStream z(f.source);
        EXPECT_EQ(ReadAll(z, 1 << 20), f.content);
        EXPECT_EQ(f.source.Position(), f.end) << size;
        char tail[4];
        f.source.ReadBuffer(tail, 4);
        EXPECT_EQ(Bytes(tail, 4), "TAIL");
    }
}

TEST(ZDecompressionStream, ResumesWhereItStoppedWhenTheSourceWasMoved) {
    Framed f(Noise(150000));
    TZDecompressionStream z(f.source);
    Bytes out(1000, '\0');
    ASSERT_EQ(z.Read(out.data(), 1000), 1000);
    f.source.SetPosition(0);
    Bytes rest = ReadAll(z, 333);
    EXPECT_EQ(out.substr(0, 1000) + rest, f.content);
}

TEST(ZDecompressionStream, DamagedStreamsRaiseDataError) {
    Bytes z = Deflate(Text(20000));
    struct Case {
        const char* what;
        std::size_t at;
    } cases[] = {{"header", 0}, {"deflate data", z.size() / 2}, {"adler-32", z.size() - 1}};
    for (const Case& c : cases) {
        Bytes bad = z;
        bad[c.at] = static_cast<char>(bad[c.at] ^ 0x55);
        TMemoryStream src;
        src.WriteBuffer(bad.data(), static_cast<std::int64_t>(bad.size()));
        src.SetPosition(0);
        TZDecompressionStream s(src);
        try {
            ReadAll(s, 4096);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const EZDecompressionError& e) {
            EXPECT_EQ(e.Code(), Z_DATA_ERROR) << c.what;
            EXPECT_EQ(e.Message(), "data error");
        }
    }
}

TEST(ZDecompressionStream, TruncatedStreamDeliversWhatItHasWithoutError) {
    const Bytes plain = Text(50000);
    Bytes z = Deflate(plain);
    z.resize(z.size() / 2);
    TMemoryStream src;
    src.WriteBuffer(z.data(), static_cast<std::int64_t>(z.size()));
    src.SetPosition(0);
    TZDecompressionStream s(src);
    Bytes got = ReadAll(s, 4096);
    EXPECT_LT(got.size(), plain.size());
    EXPECT_EQ(got, plain.substr(0, got.size()));
}

TEST(ZDecompressionStream, PresetDictionaryIsAnErrorNotAHang) {
    z_stream d{};
    ASSERT_EQ(deflateInit(&d, Z_DEFAULT_COMPRESSION), Z_OK);
    const Bytes dict = "dictionary words";
    deflateSetDictionary(&d, reinterpret_cast<const Bytef*>(dict.data()),
                         static_cast<uInt>(dict.size()));
    Bytes in = "dictionary words and more dictionary words";
    Bytes out(256, '\0');
    d.next_in = reinterpret_cast<Bytef*>(in.data());
    d.avail_in = static_cast<uInt>(in.size());
    d.next_out = reinterpret_cast<Bytef*>(out.data());
    d.avail_out = static_cast<uInt>(out.size());
    ASSERT_EQ(deflate(&d, Z_FINISH), Z_STREAM_END);
    out.resize(d.total_out);
    deflateEnd(&d);

    TMemoryStream src;
    src.WriteBuffer(out.data(), static_cast<std::int64_t>(out.size()));
    src.SetPosition(0);
    TZDecompressionStream s(src);
    EXPECT_EQ(MessageOf([&] { ReadAll(s, 4096); }), "need dictionary");
}

TEST(ZDecompressionStream, WriteIsRefused) {
    Framed f("abc");
    TZDecompressionStream z(f.source);
    EXPECT_EQ(MessageOf([&] { z.Write("x", 1); }), "Invalid ZStream operation!");
    EXPECT_THROW(z.Write("x", 1), EZDecompressionError);
}

TEST(ZDecompressionStream, SeekFollowsTheForwardOnlyRules) {
    Framed f(Text(30000));
    TZDecompressionStream z(f.source);
    EXPECT_EQ(z.Seek(0, TSeekOrigin::soCurrent), 0);
    EXPECT_EQ(z.Seek(10000, TSeekOrigin::soCurrent), 10000);
    char c;
    ASSERT_EQ(z.Read(&c, 1), 1);
    EXPECT_EQ(c, f.content[10000]);
    EXPECT_EQ(z.Seek(20000, TSeekOrigin::soBeginning), 20000);
    ASSERT_EQ(z.Read(&c, 1), 1);
    EXPECT_EQ(c, f.content[20000]);

    EXPECT_EQ(MessageOf([&] { z.Seek(-1, TSeekOrigin::soCurrent); }), "Invalid ZStream operation!");
    EXPECT_EQ(MessageOf([&] { z.Seek(5, TSeekOrigin::soBeginning); }),
              "Invalid ZStream operation!");
    EXPECT_EQ(MessageOf([&] { z.Seek(1, TSeekOrigin::soEnd); }), "Invalid ZStream operation!");

    EXPECT_EQ(z.Seek(0, TSeekOrigin::soEnd), 30000);
    EXPECT_EQ(MessageOf([&] { z.Seek(1, TSeekOrigin::soCurrent); }), "Stream read error");

    // Back to the start: inflation begins again where the stream was created.
    EXPECT_EQ(z.Seek(0, TSeekOrigin::soBeginning), 0);
    EXPECT_EQ(ReadAll(z, 777), f.content);
    EXPECT_EQ(f.source.Position(), f.end);
}

TEST(ZDecompressionStream, EmptySourceDeliversNothing) {
    TMemoryStream empty;
    TZDecompressionStream z(empty);
    char buf[16];
    EXPECT_EQ(z.Read(buf, 16), 0);
    EXPECT_EQ(z.Read(buf, 16), 0);
}
