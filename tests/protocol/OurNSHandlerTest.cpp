#include "OurNSHandler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ComServer.h"
#include "ProtocolFixture.h"

namespace kiva {
namespace {

namespace fs = std::filesystem;
using test::Hex;
using test::TReadStep;

using Lines = std::vector<std::string>;

Lines LogLines() {
    return HandlerLog().Items();
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const std::string kServed = "result 00000000 200 null";

class HandlerTest : public test::ProtocolTest {};

// ---- Mapping URLs to entry names

struct NameCase {
    const char* Url;
    const char* Name;
};

class EntryNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(EntryNames, FollowTheUrlDecoding) {
    EXPECT_EQ(EntryNameFromUrl(GetParam().Url), GetParam().Name);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, EntryNames,
    ::testing::Values(NameCase{"KIVA://BUNDLE/Index.html", "Index.html"},
                      NameCase{"kiva://bundle/docs/a%20b.html?x=1", "docs\\a b.html"},
                      NameCase{"kiva://bundle/a+b.html", "a b.html"},
                      NameCase{"kiva://bundle/a%2Bb.html", "a+b.html"},
                      NameCase{"kiva://bundle/a%2bb.html", "a+b.html"},
                      NameCase{"kiva://bundle/page.html#top", "page.html#top"},
                      // A decoded "?" cuts like a literal one; a decoded "/" separates too.
                      NameCase{"kiva://bundle/a%3Fb.html", "a"},
                      NameCase{"kiva://bundle/ui%2Fapp.js", "ui\\app.js"},
                      NameCase{"kiva://bundle/", ""}, NameCase{"kiva://bun", ""}));

struct DecodeCase {
    const char* In;
    std::string Out;
};

class UrlDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(UrlDecoding, DecodesEscapesAndPluses) {
    EXPECT_EQ(UrlDecode(GetParam().In), GetParam().Out);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UrlDecoding,
    ::testing::Values(DecodeCase{"", ""}, DecodeCase{"a%20b+c", "a b c"},
                      DecodeCase{"%41%62%7e", "Ab~"}, DecodeCase{"%00x", std::string("\0x", 2)},
                      DecodeCase{"%e9", "\xE9"},
                      // Cut short by the end: the "%" stays, the one character after it goes.
                      DecodeCase{"x%", "x%"}, DecodeCase{"x%4", "x%"},
                      // An escape takes the next two characters whatever they are.
                      DecodeCase{"%%41", "T1"}, DecodeCase{"%zz", "S"}, DecodeCase{"%+1", "\xB1"}));

TEST(HexDigits, GiveTheirValuesAndOthersWhatTheFormulaYields) {
    const std::pair<char, int> cases[] = {{'0', 0},  {'9', 9},   {'A', 10},    {'F', 15},
                                          {'a', 10}, {'f', 15},  {'G', 16},    {'g', 16},
                                          {'@', 16}, {' ', 240}, {'\xFF', 168}};
    for (const auto& [c, v] : cases) {
        EXPECT_EQ(HexDigitValue(c), v) << "character " << int(static_cast<unsigned char>(c));
    }
}

// ---- Start and Read

TEST_F(HandlerTest, MissingUrlOrSinkIsRejectedWithoutATrace) {
    ComPtr<TOurNSHandler> h(new TOurNSHandler);
    ComPtr<test::TRecordingSink> s(new test::TRecordingSink);
    EXPECT_EQ(h->Start(nullptr, s.Get(), nullptr, 0, 0), E_INVALIDARG);
    EXPECT_EQ(h->Start(u"kiva://bundle/index.html", nullptr, nullptr, 0, 0), E_INVALIDARG);
    EXPECT_TRUE(LogLines().empty());
    EXPECT_TRUE(s->Calls.empty());
}

TEST_F(HandlerTest, ForeignHostsGoToTheDefaultHandler) {
    EXPECT_EQ(StartOn(u"kiva://other/x"), INET_E_USE_DEFAULT_PROTOCOLHANDLER);
    EXPECT_EQ(LogLines(),
              (Lines{"Start widechar: kiva://other/x", "Start ansistring: kiva://other/x",
                     "Default handler for: kiva://other/x"}));
    EXPECT_TRUE(sink->Calls.empty());
    EXPECT_EQ(sink->RefCount(), 1u); // no reference kept for a request it does not serve
}

TEST_F(HandlerTest, ServesAnEntryWithTheTraceInOrder) {
    EXPECT_EQ(StartOn(u"KIVA://BUNDLE/Index.html"), S_OK);
    EXPECT_EQ(bindInfo->AskedSize, kBindInfoSize);
    EXPECT_EQ(LogLines(), (Lines{"Start widechar: KIVA://BUNDLE/Index.html",
                                 "Start ansistring: KIVA://BUNDLE/Index.html",
                                 "Get data for: Index.html", "Send data for: Index.html"}));
    EXPECT_EQ(sink->Calls, (Lines{"data 13 33 33", kServed}));
    std::string body;
    ReadAll(4096, body);
    EXPECT_EQ(body, "<html><title>Index</title></html>");

    // The sink is held until Terminate, and released exactly once.
    EXPECT_EQ(sink->RefCount(), 2u);
    EXPECT_EQ(handler->Terminate(0), S_OK);
    EXPECT_EQ(sink->RefCount(), 1u);
    EXPECT_EQ(handler->Terminate(0), S_OK);
    EXPECT_EQ(sink->RefCount(), 1u);
}

struct ServedCase {
    const char16_t* Url;
    const char* Body;
};

class ServedEntries : public test::ProtocolTest,
                      public ::testing::WithParamInterface<ServedCase> {};

TEST_P(ServedEntries, ReachTheRightEntry) {
    ASSERT_EQ(StartOn(GetParam().Url), S_OK) << LogLines().back();
    std::string body;
    ReadAll(4096, body);
    EXPECT_EQ(body, GetParam().Body);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, ServedEntries,
    ::testing::Values(ServedCase{u"kiva://bundle/docs/a%20b.html?x=1", "spaced"},
                      ServedCase{u"kiva://bundle/DOCS/A%20B.HTML", "spaced"},
                      ServedCase{u"kiva://bundle/a+b.html", "plus"},
                      ServedCase{u"kiva://bundle/a%2Bb.html", "escaped plus"},
                      // An entry whose name really holds "#" wins; otherwise the fragment goes.
                      ServedCase{u"kiva://bundle/page.html#top", "fragment"},
                      ServedCase{u"kiva://bundle/index.html#part",
                                 "<html><title>Index</title></html>"},
                      ServedCase{u"kiva://bundle/docs/a%20b.html?q=1#x", "spaced"},
                      ServedCase{u"kiva://bundle/ten.bin#a#b", "0123456789"},
                      // A UTF-8 name finds the entry stored in Windows-1252, as do its bytes.
                      ServedCase{u"kiva://bundle/caf%C3%A9.html", "cp1252 page"},
                      ServedCase{u"kiva://bundle/CAF%C3%A9.html#top", "cp1252 page"},
                      ServedCase{u"kiva://bundle/caf%E9.html", "cp1252 page"},
                      ServedCase{u"kiva://bundle/media/clip.swf", "first clip"}));

TEST_F(HandlerTest, MissingEntriesAnswerSFalseWithoutNotifications) {
    EXPECT_EQ(StartOn(u"kiva://bundle/missing.html"), S_FALSE);
    EXPECT_EQ(LogLines().back(), "Not found : missing.html");
    EXPECT_TRUE(sink->Calls.empty());
    std::string body;
    EXPECT_EQ(ReadAll(16, body), (std::vector<TReadStep>{{S_FALSE, 0}}));
    EXPECT_EQ(sink->RefCount(), 2u);
    handler->Terminate(0);
    EXPECT_EQ(sink->RefCount(), 1u);
}

TEST_F(HandlerTest, AnEmptyEntryIsCompleteAtOnce) {
    EXPECT_EQ(StartOn(u"kiva://bundle/empty.bin"), S_OK);
    EXPECT_EQ(sink->Calls, (Lines{"data 13 0 0", kServed}));
    std::string body;
    EXPECT_EQ(ReadAll(16, body), (std::vector<TReadStep>{{S_FALSE, 0}}));
}

TEST_F(HandlerTest, ReadsHandOutTheBytesInTheCallersChunks) {
    EXPECT_EQ(StartOn(u"kiva://bundle/ten.bin"), S_OK);
    std::string body;
    EXPECT_EQ(ReadAll(4, body),
              (std::vector<TReadStep>{{S_OK, 4}, {S_OK, 4}, {S_OK, 2}, {S_FALSE, 0}}));
    EXPECT_EQ(body, "0123456789");
    // Reads with nowhere to put the bytes are refused rather than followed.
    EXPECT_EQ(handler->Read(nullptr, 4, nullptr), E_INVALIDARG);
    char c;
    EXPECT_EQ(handler->Read(&c, 1, nullptr), S_FALSE);
}

TEST_F(HandlerTest, AnswersWithoutBehaviour) {
    ComPtr<TOurNSHandler> h(new TOurNSHandler);
    EXPECT_EQ(h->Suspend(), E_NOTIMPL);
    EXPECT_EQ(h->Resume(), E_NOTIMPL);
    EXPECT_EQ(h->CompareUrl(u"kiva://bundle/a", u"kiva://bundle/a", 0), E_NOTIMPL);
    DWORD size = 0;
    char buf[8];
    EXPECT_EQ(h->QueryInfo(u"kiva://bundle/a", 1, 0, buf, sizeof buf, &size, 0), E_NOTIMPL);
    EXPECT_EQ(h->Continue(nullptr), S_OK);
    EXPECT_EQ(h->Abort(E_ABORT, 0), S_OK);
    EXPECT_EQ(h->LockRequest(0), S_OK);
    EXPECT_EQ(h->UnlockRequest(), S_OK);
    ULARGE_INTEGER pos = 77;
    EXPECT_EQ(h->Seek(5, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(pos, 77u);
    EXPECT_EQ(h->Terminate(0), S_OK);
}

TEST_F(HandlerTest, AnswersForItsInterfacesAndTheBaseOnes) {
    ComPtr<TOurNSHandler> h(new TOurNSHandler);
    ComPtr<IInternetProtocolInfo> info;
    ComPtr<IInternetProtocolRoot> root;
    ComPtr<IInternetProtocol> protocol;
    ComPtr<ISupportErrorInfo> errorInfo;
    ComPtr<IUnknown> u1, u2;
    EXPECT_EQ(h.As(info), S_OK);
    EXPECT_EQ(info.As(root), S_OK);
    EXPECT_EQ(root.As(protocol), S_OK);
    EXPECT_EQ(protocol.As(errorInfo), S_OK);
    EXPECT_EQ(info.As(u1), S_OK);
    EXPECT_EQ(protocol.As(u2), S_OK);
    EXPECT_EQ(u1.Get(), u2.Get());
    ComPtr<IStream> none;
    EXPECT_EQ(h.As(none), E_NOINTERFACE);
}

// ---- URL questions

TEST_F(HandlerTest, EveryUrlHasTheRootAsItsSecurityUrl) {
    ComPtr<TOurNSHandler> h(new TOurNSHandler);
    WCHAR buf[64];
    std::fill(std::begin(buf), std::end(buf), u'#');
    DWORD size = 0;
    EXPECT_EQ(h->ParseUrl(u"kiva://bundle/docs/x.html", PARSE_SECURITY_URL, 0, buf, 27, &size, 0),
              S_FALSE);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(buf[0], u'#');
    size = 0;
    EXPECT_EQ(h->ParseUrl(u"kiva://elsewhere/", PARSE_SECURITY_URL, 0, buf, 28, &size, 0), S_OK);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(std::u16string(buf), u"kiva://bundle/");
    EXPECT_EQ(h->ParseUrl(u"kiva://bundle/", PARSE_CANONICALIZE, 0, buf, 64, &size, 0), E_NOTIMPL);
    EXPECT_EQ(h->ParseUrl(u"kiva://bundle/", PARSE_SECURITY_URL, 0, buf, 64, nullptr, 0),
              E_POINTER);
    EXPECT_EQ(h->ParseUrl(u"kiva://bundle/", PARSE_SECURITY_URL, 0, nullptr, 64, &size, 0),
              E_POINTER);
}

TEST_F(HandlerTest, FileUrlsOfTheSchemeCombineBackIntoContentUrls) {
    ComPtr<TOurNSHandler> h(new TOurNSHandler);
    WCHAR buf[128];
    std::fill(std::begin(buf), std::end(buf), u'#');
    DWORD size = 0;
    const char16_t* rel = u"file:///kiva|//bundle/docs/a%20b.html";
    // The result has 27 characters; the size asked for is twice that.
    EXPECT_EQ(h->CombineUrl(u"kiva://bundle/", rel, 0, buf, 53, &size, 0), S_FALSE);
    EXPECT_EQ(size, 54u);
    EXPECT_EQ(buf[0], u'#');
    EXPECT_EQ(h->CombineUrl(u"kiva://bundle/", rel, 0, buf, 54, &size, 0), S_OK);
    EXPECT_EQ(std::u16string(buf), u"kiva://bundle/docs/a b.html");

    // Everything else is left to the platform; both tests are case-sensitive.
    for (const char16_t* other : {u"docs/a.html", u"http://kiva/x", u"file:///c|/site/x.html",
                                  u"FILE:///kiva|//bundle/x", u"file:///KIVA|//bundle/x"}) {
        EXPECT_EQ(h->CombineUrl(u"kiva://bundle/", other, 0, buf, 128, &size, 0),
                  INET_E_USE_DEFAULT_PROTOCOLHANDLER);
    }
    EXPECT_EQ(h->CombineUrl(u"kiva://bundle/", nullptr, 0, buf, 128, &size, 0), E_INVALIDARG);
    EXPECT_EQ(h->CombineUrl(u"kiva://bundle/", rel, 0, buf, 128, nullptr, 0), E_POINTER);
}

// ---- Requests that need a file

TEST_F(HandlerTest, FileNeedingRequestsGetAPrivateCopyBeforeTheData) {
    ASSERT_EQ(StartOn(u"kiva://bundle/media/clip.swf", BINDF_NEEDFILE), S_OK);
    ASSERT_EQ(sink->Calls.size(), 3u);
    const std::string progress = sink->Calls[0];
    ASSERT_EQ(progress.rfind("progress 14 ", 0), 0u) << progress;
    EXPECT_EQ(sink->Calls[1], "data 13 10 10");
    EXPECT_EQ(sink->Calls[2], kServed);
    const std::string path = progress.substr(12);

    const std::string folder = HandlerTempFolder();
    EXPECT_EQ(fs::path(folder).parent_path(), tempDir);
    EXPECT_EQ(fs::path(path).parent_path(), fs::path(folder));
    EXPECT_EQ(fs::path(path).filename(), "clip.swf");
    EXPECT_EQ(FileText(path), "first clip");
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The second request reuses the file the first one wrote.
    std::ofstream(path, std::ios::app) << " (touched)";
    ASSERT_EQ(StartOn(u"kiva://bundle/MEDIA/clip.swf", BINDF_NEEDFILE), S_OK);
    EXPECT_EQ(sink->Calls[0], progress);
    EXPECT_EQ(FileText(path), "first clip (touched)");
    EXPECT_EQ(TempFileList().Items(), Lines{path});

    // The files and the folder go at the end of the process.
    OurNSHandlerFinal();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(TempFileList().Count(), 0);
    EXPECT_EQ(HandlerLog().Count(), 0);
}

TEST_F(HandlerTest, AFilePlantedInTheSharedTempFolderIsNeverServed) {
    std::ofstream(tempDir / "clip.swf") << "planted";
    ASSERT_EQ(StartOn(u"kiva://bundle/media/clip.swf", BINDF_NEEDFILE), S_OK);
    const std::string path = sink->Calls[0].substr(12);
    EXPECT_NE(fs::path(path), tempDir / "clip.swf");
    EXPECT_EQ(FileText(path), "first clip");
    OurNSHandlerFinal();
    EXPECT_EQ(FileText((tempDir / "clip.swf").string()), "planted");
}

TEST_F(HandlerTest, EntriesSharingAFileNameKeepTheirOwnFiles) {
    ASSERT_EQ(StartOn(u"kiva://bundle/media/clip.swf", BINDF_NEEDFILE), S_OK);
    const std::string first = sink->Calls[0].substr(12);
    ASSERT_EQ(StartOn(u"kiva://bundle/other/clip.swf", BINDF_NEEDFILE), S_OK);
    const std::string second = sink->Calls[0].substr(12);
    EXPECT_NE(first, second);
    EXPECT_EQ(fs::path(second).filename(), "clip.swf");
    EXPECT_EQ(FileText(first), "first clip");
    EXPECT_EQ(FileText(second), "second clip");
}

TEST_F(HandlerTest, UnsafeFileNamesStayInsideThePrivateFolder) {
    ASSERT_EQ(StartOn(u"kiva://bundle/docs/..", BINDF_NEEDFILE), S_OK);
    const fs::path dots = sink->Calls[0].substr(12);
    EXPECT_EQ(dots.parent_path(), fs::path(HandlerTempFolder()));
    EXPECT_EQ(dots.filename(), "__");
    EXPECT_EQ(FileText(dots), "dots");

    ASSERT_EQ(StartOn(u"kiva://bundle/x%01y.txt", BINDF_NEEDFILE), S_OK);
    const fs::path control = sink->Calls[0].substr(12);
    EXPECT_EQ(control.filename(), "x_y.txt");
    EXPECT_EQ(FileText(control), "control");
}

TEST_F(HandlerTest, AFailedBindInfoServesWithoutAFile) {
    ASSERT_EQ(StartOn(u"kiva://bundle/media/clip.swf", BINDF_NEEDFILE, E_FAIL), S_OK);
    EXPECT_EQ(sink->Calls, (Lines{"data 13 10 10", kServed}));
    EXPECT_EQ(TempFileList().Count(), 0);
    EXPECT_TRUE(HandlerTempFolder().empty());
}

// ---- Failures

TEST_F(HandlerTest, ADamagedEntryFailsTheRequestInsteadOfThrowing) {
    const HRESULT hr = StartOn(u"kiva://bundle/broken.html");
    EXPECT_EQ(hr, kEntryFailure);
    EXPECT_EQ(sink->Calls,
              Lines{"result " + Hex(kEntryFailure) + " 0 The archive appears to be corrupted"});
    EXPECT_EQ(LogLines().back(), "Failed: The archive appears to be corrupted");
    std::string body;
    EXPECT_EQ(ReadAll(16, body), (std::vector<TReadStep>{{S_FALSE, 0}}));
    // The archive stays usable.
    EXPECT_EQ(StartOn(u"kiva://bundle/ten.bin"), S_OK);
}

TEST_F(HandlerTest, ANameThatOnlyTheLookUpUnderstandsFailsCleanly) {
    // With drive prefixes dropped, the look-up finds the entry while the extraction does not.
    arc.SavePaths = true;
    EXPECT_EQ(StartOn(u"kiva://bundle/C:ten.bin"), kEntryFailure);
    EXPECT_EQ(sink->Calls,
              Lines{"result " + Hex(kEntryFailure) + " 0 C:ten.bin not found in archive"});
}

TEST_F(HandlerTest, WithoutAnOpenBookEveryRequestFails) {
    // A request that brings no book, one whose book's archive is closed, and one that comes
    // after the book has ended.
    auto other = std::make_unique<TBookSession>();
    ComPtr<IServiceProvider> closed(other->Services());
    std::unique_ptr<TBookSession> open = std::move(book);
    EXPECT_EQ(StartOn(u"kiva://bundle/index.html"), kEntryFailure);
    EXPECT_EQ(sink->Calls,
              Lines{"result " + Hex(kEntryFailure) + " 0 No archive is currently open"});
    book = std::move(other);
    EXPECT_EQ(StartOn(u"kiva://bundle/index.html", BINDF_NEEDFILE), kEntryFailure);
    book = std::move(open);
    ComPtr<IServiceProvider> ended(book->Services());
    book.reset();
    handler = ComPtr<TOurNSHandler>(new TOurNSHandler);
    sink = ComPtr<test::TRecordingSink>(new test::TRecordingSink);
    bindInfo = ComPtr<test::TRecordingBindInfo>(new test::TRecordingBindInfo(0, S_OK, ended.Get()));
    EXPECT_EQ(handler->Start(u"kiva://bundle/index.html", sink.Get(), bindInfo.Get(), 0, 0),
              kEntryFailure);
}

TEST_F(HandlerTest, AnUnwritableTempFolderFailsTheFileNeedingRequest) {
    ASSERT_EQ(StartOn(u"kiva://bundle/ten.bin", BINDF_NEEDFILE), S_OK);
    // Something takes the private folder's place behind the handler's back.
    fs::remove_all(HandlerTempFolder());
    std::ofstream(HandlerTempFolder()) << "not a folder";
    EXPECT_EQ(StartOn(u"kiva://bundle/empty.bin", BINDF_NEEDFILE), kEntryFailure);
    EXPECT_EQ(sink->Calls.size(), 1u);
    EXPECT_EQ(sink->Calls[0].rfind("result " + Hex(kEntryFailure), 0), 0u);
}

// ---- The unit

TEST_F(HandlerTest, TheTraceKeepsOnlyItsNewestLines) {
    for (int i = 0; i < kHandlerLogLimit; ++i) {
        StartOn(u"kiva://other/" + AnsiToWide(std::to_string(i)));
    }
    const Lines lines = LogLines();
    EXPECT_LT(lines.size(), static_cast<std::size_t>(2 * kHandlerLogLimit));
    EXPECT_GE(lines.size(), static_cast<std::size_t>(kHandlerLogLimit));
    EXPECT_EQ(lines.back(),
              "Default handler for: kiva://other/" + std::to_string(kHandlerLogLimit - 1));
}

TEST_F(HandlerTest, TheTraceStaysWithinItsBytesWhateverTheUrls) {
    const std::u16string query(200000, u'q');
    for (int i = 0; i < 50; ++i) {
        StartOn(u"kiva://other/" + AnsiToWide(std::to_string(i)) + u"?" + query);
    }
    std::size_t bytes = 0;
    for (const std::string& line : LogLines()) {
        EXPECT_LE(line.size(), kHandlerLogLineLimit);
        bytes += line.size();
    }
    EXPECT_LE(bytes, kHandlerLogByteLimit);
    EXPECT_EQ(LogLines().back().substr(0, 23), "Default handler for: ki");
}

TEST_F(HandlerTest, MediaEntriesAnnounceTheirTypeOthersLeaveItToTheBrowser) {
    ASSERT_EQ(StartOn(u"kiva://bundle/media/tone.webm"), S_OK);
    EXPECT_EQ(sink->Calls.front(), "progress 13 video/webm");
    ASSERT_EQ(StartOn(u"kiva://bundle/ten.bin"), S_OK);
    EXPECT_EQ(sink->Calls, (Lines{"data 13 10 10", kServed}));
    const std::pair<const char*, const char*> types[] = {{"a\\b.MP4", "video/mp4"},
                                                         {"x.wav", "audio/wav"},
                                                         {"x.ogg", "audio/ogg"},
                                                         {"x.mp3", "audio/mpeg"},
                                                         {"m.wasm", "application/wasm"},
                                                         {"x.html", ""},
                                                         {"wasm", ""},
                                                         {"x.webm\\y", ""}};
    for (const auto& [name, type] : types) {
        EXPECT_EQ(ContentTypeOfEntry(name), type) << name;
    }
}

TEST_F(HandlerTest, TheFactoryMakesOneCountedHandlerPerRequest) {
    TComObjectFactory* f = OurNSHandlerFactory();
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->ClassID() == CLSID_OurNSHandler);
    EXPECT_EQ(f->ClassName(), "OurNSHandler");
    EXPECT_EQ(f->Description(), "OurNSHandler");
    EXPECT_EQ(f->Instancing(), ciMultiInstance);
    EXPECT_EQ(f->ThreadingModel(), tmApartment);

    const int before = ComObjectCount();
    ComPtr<IInternetProtocol> a, b;
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IInternetProtocol, a.ReleaseAndGetVoidAddress()),
              S_OK);
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IInternetProtocol, b.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_NE(a.Get(), b.Get());
    EXPECT_EQ(ComObjectCount(), before + 2);
    a.Reset();
    b.Reset();
    EXPECT_EQ(ComObjectCount(), before);
    // A second initialisation keeps the one factory.
    OurNSHandlerInit();
    EXPECT_EQ(OurNSHandlerFactory(), f);
}

} // namespace
} // namespace kiva
