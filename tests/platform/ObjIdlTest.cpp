#include "ObjIdl.h"

#include <gtest/gtest.h>

#include <string>

namespace kiva {
namespace {

ComPtr<IStream> NewStream() {
    ComPtr<IStream> s;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, s.ReleaseAndGetAddressOf()), S_OK);
    return s;
}

TEST(HGlobalStream, RejectsWhatItCannotServe) {
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, nullptr), E_INVALIDARG);
    int block = 0;
    IStream* s = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(CreateStreamOnHGlobal(&block, TRUE, &s), E_INVALIDARG);
    EXPECT_EQ(s, nullptr);
}

TEST(HGlobalStream, ReadsBackWhatWasWrittenInPieces) {
    ComPtr<IStream> s = NewStream();
    ULONG n = 0;
    ASSERT_EQ(s->Write("0123456789", 10, &n), S_OK);
    EXPECT_EQ(n, 10u);
    ULARGE_INTEGER pos = 99;
    ASSERT_EQ(s->Seek(0, STREAM_SEEK_END, &pos), S_OK);
    EXPECT_EQ(pos, 10u);
    ASSERT_EQ(s->Seek(0, STREAM_SEEK_SET, nullptr), S_OK);

    char buf[4];
    std::string got;
    const ULONG expected[] = {4, 4, 2, 0, 0};
    for (ULONG want : expected) {
        ASSERT_EQ(s->Read(buf, 4, &n), S_OK);
        EXPECT_EQ(n, want);
        got.append(buf, n);
    }
    EXPECT_EQ(got, "0123456789");
    EXPECT_EQ(s->Read(buf, 4, nullptr), S_OK);
}

TEST(HGlobalStream, SeeksRelativeAndFillsGapsWithZeros) {
    ComPtr<IStream> s = NewStream();
    ASSERT_EQ(s->Write("abc", 3, nullptr), S_OK);
    ULARGE_INTEGER pos = 0;
    ASSERT_EQ(s->Seek(-2, STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(pos, 1u);
    ASSERT_EQ(s->Seek(2, STREAM_SEEK_END, &pos), S_OK);
    EXPECT_EQ(pos, 5u);
    ASSERT_EQ(s->Write("Z", 1, nullptr), S_OK);
    ASSERT_EQ(s->Seek(0, STREAM_SEEK_SET, nullptr), S_OK);
    char buf[8] = {};
    ULONG n = 0;
    ASSERT_EQ(s->Read(buf, sizeof buf, &n), S_OK);
    EXPECT_EQ(std::string(buf, n), std::string("abc\0\0Z", 6));

    // Moves before the start and unknown origins fail and leave the position alone.
    EXPECT_EQ(s->Seek(-1, STREAM_SEEK_SET, &pos), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(s->Seek(0, 3, &pos), STG_E_INVALIDFUNCTION);
    ASSERT_EQ(s->Seek(0, STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(pos, 6u);
    EXPECT_EQ(s->Read(nullptr, 1, &n), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Write(nullptr, 1, &n), STG_E_INVALIDPOINTER);
}

TEST(HGlobalStream, SetSizeCutsAndGrows) {
    ComPtr<IStream> s = NewStream();
    ASSERT_EQ(s->Write("abcdef", 6, nullptr), S_OK);
    ASSERT_EQ(s->SetSize(2), S_OK);
    ULARGE_INTEGER end = 0;
    ASSERT_EQ(s->Seek(0, STREAM_SEEK_END, &end), S_OK);
    EXPECT_EQ(end, 2u);
}

TEST(OleStream, LetsFrameworkCopiesFillAComponentStream) {
    ComPtr<IStream> s = NewStream();
    TMemoryStream source;
    const std::string text(100000, 'k');
    source.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
    {
        TOleStream writer(s.Get());
        writer.CopyFrom(source, 0);
        EXPECT_EQ(writer.Size(), 100000);
        writer.SetPosition(99998);
        char tail[4] = {};
        EXPECT_EQ(writer.Read(tail, 4), 2);
    }
    ULARGE_INTEGER end = 0;
    ASSERT_EQ(s->Seek(0, STREAM_SEEK_END, &end), S_OK);
    EXPECT_EQ(end, 100000u);
    EXPECT_THROW(TOleStream(nullptr), EStreamError);
}

TEST(OleStream, KeepsItsStreamAliveAndFailsSeeksLoudly) {
    IStream* raw = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &raw), S_OK);
    TOleStream wrapper(raw);
    raw->Release(); // the wrapper's own reference keeps the stream
    wrapper.WriteBuffer("xyz", 3);
    EXPECT_EQ(wrapper.Position(), 3);
    EXPECT_THROW(wrapper.Seek(-10, TSeekOrigin::soCurrent), EStreamError);
}

} // namespace
} // namespace kiva
