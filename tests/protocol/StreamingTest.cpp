// Large entries streamed while they inflate, and the loopback server that serves entries to
// the browser's media player: both read the archive on threads of their own.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "ComServer.h"
#include "EntryStore.h"
#include "LoopbackServer.h"
#include "OurNSHandler.h"
#include "ProtocolFixture.h"
#include "ProtocolRegistration.h"

namespace kiva {
namespace {

// Three MiB that compress well but differ everywhere, so a wrong offset shows.
std::string LargeContent() {
    std::string s;
    for (int i = 0; s.size() < (3u << 20); ++i) {
        s += "line " + std::to_string(i) + " of a large entry\n";
    }
    return s;
}

// Calls brought to the test's thread, as the main loop brings them in the viewer.
class TCallQueue {
public:
    // Queues calls from any thread for this one.
    TRequestDispatcher Dispatcher() {
        return [this](std::function<void()> call) {
            std::lock_guard lock(mutex_);
            calls_.push_back(std::move(call));
            ready_.notify_all();
        };
    }

    // Runs the next call, waiting up to 10 s for one; false when none came.
    bool RunNext() {
        std::function<void()> call;
        {
            std::unique_lock lock(mutex_);
            if (!ready_.wait_for(lock, std::chrono::seconds(10), [&] { return !calls_.empty(); })) {
                return false;
            }
            call = std::move(calls_.front());
            calls_.pop_front();
        }
        call();
        ++Ran;
        return true;
    }
    // Runs what is queued now, without waiting.
    void RunPending() {
        for (;;) {
            std::function<void()> call;
            {
                std::lock_guard lock(mutex_);
                if (calls_.empty()) {
                    return;
                }
                call = std::move(calls_.front());
                calls_.pop_front();
            }
            call();
            ++Ran;
        }
    }
    int Ran = 0;

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> calls_;
};

class StreamingTest : public test::ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        large = LargeContent();
        test::TArchiveBytes a;
        a.Add({"", "index.html", "<p>small</p>", true})
            .Add({"media\\", "large.bin", large, true})
            .Add({"media\\", "damaged.bin", large, true, 60000})
            .Add({"media\\", "stored.bin", large, false})
            .Add({"", "caf\xE9.webm", "cp1252 media", false});
        archivePath = (dir / "large.kvb").string();
        a.WriteTo(archivePath);
        arc.OpenArchive(archivePath);
        book->Prepare(secret);
        ASSERT_TRUE(ComServer().Initialize({}));
        RegisterKivaNameSpace(factory, session);
    }
    void TearDown() override {
        UnregisterKivaNameSpace(factory, session);
        factory.Reset();
        session.Reset();
        ComServer().Finalize();
        ProtocolTest::TearDown();
    }

    // Starts a request of the book as the browser's side does, its notifications brought to
    // this thread through the queue.
    std::shared_ptr<TNameSpaceRequest> Start(const std::u16string& url,
                                             TNameSpaceRequest::TNotify notify) {
        return TNameSpaceRequest::Start(
            url, std::move(notify),
            TRequestContext{queue.Dispatcher(), ComPtr<IServiceProvider>(Services())});
    }

    // Pulls a whole body the way the browser's side does; the last Read's result comes back.
    HRESULT Pull(const std::u16string& url, std::string& body, int* notified = nullptr) {
        int notifications = 0;
        auto request = Start(url, [&] { ++notifications; });
        if (FAILED(request->Status())) {
            return request->Status();
        }
        std::vector<char> buf(64 * 1024);
        for (;;) {
            ULONG n = 0;
            const HRESULT hr = request->Read(buf.data(), static_cast<ULONG>(buf.size()), &n);
            if (hr == S_OK) {
                body.append(buf.data(), n);
            } else if (hr == E_PENDING) {
                if (!queue.RunNext()) {
                    return E_ABORT;
                }
            } else {
                if (notified) {
                    *notified = notifications;
                }
                return hr;
            }
        }
    }

    // The book has a view password: its entries never reach the disk.
    bool secret = false;
    std::string archivePath;
    std::string large;
    TCallQueue queue;
    ComPtr<IClassFactory> factory;
    ComPtr<IInternetSession> session;
};

TEST_F(StreamingTest, ALargeEntryArrivesWholeWhileItInflatesElsewhere) {
    std::string body;
    int notified = 0;
    EXPECT_EQ(Pull(u"kiva://bundle/media/large.bin#part", body, &notified), S_FALSE);
    EXPECT_EQ(body.size(), large.size());
    EXPECT_TRUE(body == large);
    // The last notification carried the result; the data came through Switch and Continue.
    EXPECT_GE(notified, 1);

    // A second request finds the entry's file in place.
    std::string again;
    EXPECT_EQ(Pull(u"kiva://bundle/media/large.bin", again), S_FALSE);
    EXPECT_TRUE(again == large);
}

TEST_F(StreamingTest, ADamagedLargeEntryFailsInsteadOfEndingShort) {
    std::string body;
    EXPECT_EQ(Pull(u"kiva://bundle/media/damaged.bin", body), kEntryFailure);
    EXPECT_LT(body.size(), large.size());
}

TEST_F(StreamingTest, SmallEntriesAndMissingOnesKeepTheirAnswers) {
    std::string body;
    EXPECT_EQ(Pull(u"kiva://bundle/index.html", body), S_FALSE);
    EXPECT_EQ(body, "<p>small</p>");
    auto request = Start(u"kiva://bundle/caf%C3%A9.webm", nullptr);
    EXPECT_EQ(request->ContentType(), "video/webm");
    EXPECT_EQ(request->Size(), 12);
    EXPECT_EQ(Start(u"kiva://bundle/none.html", nullptr)->Status(), INET_E_RESOURCE_NOT_FOUND);
}

TEST_F(StreamingTest, ARequestClosedMidwayHearsNothingMore) {
    int notifications = 0;
    auto request = Start(u"kiva://bundle/media/large.bin", [&] { ++notifications; });
    request->Close();
    // Whatever the extraction still announces finds the request closed.
    const auto file = book->Entries()->Open(arc.IndexOfFile("media\\large.bin"));
    EXPECT_TRUE(file->WaitFor(INT64_MAX, std::chrono::seconds(10)).Done);
    queue.RunPending();
    EXPECT_EQ(notifications, 0);
    ULONG n = 0;
    char byte;
    EXPECT_FALSE(request->Read(&byte, 1, &n) == S_OK);
}

TEST_F(StreamingTest, WithoutADispatcherNothingRunsOnTheExtractionThread) {
    const std::thread::id self = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    auto request = TNameSpaceRequest::Start(
        u"kiva://bundle/media/large.bin",
        [&] { elsewhere += std::this_thread::get_id() != self ? 1 : 0; },
        TRequestContext{nullptr, ComPtr<IServiceProvider>(Services())});
    ASSERT_EQ(request->Status(), S_OK);
    const auto file = book->Entries()->Open(arc.IndexOfFile("media\\large.bin"));
    EXPECT_TRUE(file->WaitFor(INT64_MAX, std::chrono::seconds(10)).Done);
    EXPECT_EQ(elsewhere, 0);
    request->Close();
}

// The browser may keep a request long after it read the last byte: the entry is let go then,
// so the store may close its file. A stored entry shows it: it holds the archive open.
TEST_F(StreamingTest, AnEntryIsHeldOnlyUntilItsLastByteIsRead) {
    auto request = Start(u"kiva://bundle/media/stored.bin", nullptr);
    ASSERT_EQ(request->Status(), S_OK);
    std::vector<char> buf(1 << 20);
    std::string body;
    ULONG n = 0;
    ASSERT_EQ(request->Read(buf.data(), 100, &n), S_OK);
    body.append(buf.data(), n);
    EXPECT_EQ(test::DescriptorsTo(archivePath), 1);
    HRESULT hr;
    while ((hr = request->Read(buf.data(), static_cast<ULONG>(buf.size()), &n)) == S_OK) {
        body.append(buf.data(), n);
    }
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_TRUE(body == large);
    EXPECT_EQ(test::DescriptorsTo(archivePath), 0);
    EXPECT_EQ(request->Read(buf.data(), 1, &n), S_FALSE);
    request->Close();
}

class SecretBookTest : public StreamingTest {
protected:
    void SetUp() override {
        secret = true;
        StreamingTest::SetUp();
    }
};

TEST_F(SecretBookTest, EntriesLiveInMemoryAndNeverReachTheDisk) {
    std::string body;
    EXPECT_EQ(Pull(u"kiva://bundle/media/large.bin", body), S_FALSE);
    EXPECT_TRUE(body == large);
    // The store keeps the entry for the next request, in memory.
    EXPECT_EQ(test::DescriptorsTo("/memfd:kivabook-entry"), 1);
    ASSERT_FALSE(book->CacheFolder().empty());
    EXPECT_EQ(test::DescriptorsTo(book->CacheFolder()), 0);
    EXPECT_FALSE(std::filesystem::exists(book->CacheFolder() + "/entries"));
}

// ---- The loopback server

struct TReply {
    std::string Head;
    std::string Body;
    int Status() const { return Head.size() > 12 ? std::stoi(Head.substr(9, 3)) : 0; }
    bool Has(const std::string& line) const {
        return Head.find(line + "\r\n") != std::string::npos;
    }
};

class ServerTest : public StreamingTest {
protected:
    void SetUp() override {
        StreamingTest::SetUp();
        ASSERT_NE(book->MediaServer(), nullptr);
        Use(*book->MediaServer());
    }

    // Points the requests at another server.
    void Use(TLoopbackServer& other) {
        server = &other;
        path = server->BaseUrl().substr(std::string("http://127.0.0.1:").size());
        path = path.substr(path.find('/'));
        host = "127.0.0.1:" + std::to_string(server->Port());
    }

    int Connect() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(server->Port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        const timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return fd;
    }

    // Sends one request on fd and reads its reply (the body by Content-Length).
    TReply Exchange(int fd, const std::string& request, bool head = false) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        TReply reply;
        std::string got;
        char buf[65536];
        std::size_t end;
        while ((end = got.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                return reply;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
        reply.Head = got.substr(0, end + 2);
        got.erase(0, end + 4);
        const std::size_t at = reply.Head.find("Content-Length: ");
        const std::size_t length =
            head || at == std::string::npos ? 0 : std::stoul(reply.Head.substr(at + 16));
        while (got.size() < length) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
        reply.Body = got;
        return reply;
    }

    TReply Get(const std::string& target, const std::string& extra = "",
               const std::string& method = "GET") {
        const int fd = Connect();
        TReply r = Exchange(fd,
                            method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra +
                                "Connection: close\r\n\r\n",
                            method == "HEAD");
        close(fd);
        return r;
    }

    TLoopbackServer* server = nullptr;
    std::string path;
    std::string host;
};

TEST_F(ServerTest, ServesEntriesWithRangesAndTypes) {
    TReply r = Get(path + "index.html");
    EXPECT_EQ(r.Status(), 200);
    EXPECT_EQ(r.Body, "<p>small</p>");
    EXPECT_TRUE(r.Has("Content-Type: application/octet-stream"));
    EXPECT_TRUE(r.Has("Accept-Ranges: bytes"));

    r = Get(path + "caf%C3%A9.webm", "Range: bytes=3-8\r\n");
    EXPECT_EQ(r.Status(), 206);
    EXPECT_EQ(r.Body, "252 me");
    EXPECT_TRUE(r.Has("Content-Range: bytes 3-8/12"));
    EXPECT_TRUE(r.Has("Content-Type: video/webm"));

    r = Get(path + "caf%C3%A9.webm", "Range: bytes=12-\r\n");
    EXPECT_EQ(r.Status(), 416);
    EXPECT_TRUE(r.Has("Content-Range: bytes */12"));

    r = Get(path + "caf%C3%A9.webm", "", "HEAD");
    EXPECT_EQ(r.Status(), 200);
    EXPECT_TRUE(r.Has("Content-Length: 12"));
    EXPECT_EQ(r.Body, "");

    // A range deep in a large entry, while it may still be inflating.
    const std::int64_t at = static_cast<std::int64_t>(large.size()) * 8 / 10;
    r = Get(path + "media/large.bin",
            "Range: bytes=" + std::to_string(at) + "-" + std::to_string(at + 99) + "\r\n");
    EXPECT_EQ(r.Status(), 206);
    EXPECT_EQ(r.Body, large.substr(static_cast<std::size_t>(at), 100));
    r = Get(path + "media/large.bin");
    EXPECT_TRUE(r.Body == large);
}

TEST_F(ServerTest, AnswersOnlyItsOwnPrefixHostAndMethods) {
    EXPECT_EQ(Get(path + "missing.html").Status(), 404);
    EXPECT_EQ(Get("/index.html").Status(), 404);
    EXPECT_EQ(Get("/0123456789abcdef0123456789abcdef/index.html").Status(), 404);
    EXPECT_EQ(Get(path + "index.html", "", "POST").Status(), 405);
    EXPECT_EQ(Get(path + "index.html", "", "DELETE").Status(), 405);

    // A domain that resolves to the loopback address is not this server's name.
    const int fd = Connect();
    TReply r = Exchange(fd, "GET " + path + "index.html HTTP/1.1\r\nHost: evil.example:" +
                                std::to_string(server->Port()) + "\r\n\r\n");
    EXPECT_EQ(r.Status(), 404);
    close(fd);
    const int bare = Connect();
    EXPECT_EQ(Exchange(bare, "GET " + path + "index.html HTTP/1.0\r\n\r\n").Status(), 400);
    close(bare);
    const int junk = Connect();
    EXPECT_EQ(Exchange(junk, "\x01\x02 nonsense\r\n\r\n").Status(), 400);
    close(junk);
}

TEST_F(ServerTest, LetsOnlyTheArchivesOwnPagesReadByScript) {
    TReply r = Get(path + "index.html", "Origin: kiva://bundle\r\n");
    EXPECT_TRUE(r.Has("Access-Control-Allow-Origin: kiva://bundle"));
    r = Get(path + "index.html", "Origin: https://example.org\r\n");
    EXPECT_EQ(r.Status(), 200);
    EXPECT_EQ(r.Head.find("Access-Control-Allow-Origin"), std::string::npos);

    r = Get(path + "index.html",
            "Origin: kiva://bundle\r\nAccess-Control-Request-Method: GET\r\n"
            "Access-Control-Request-Headers: x-custom\r\n",
            "OPTIONS");
    EXPECT_EQ(r.Status(), 204);
    EXPECT_TRUE(r.Has("Access-Control-Allow-Headers: x-custom"));
    r = Get(path + "index.html",
            "Origin: https://example.org\r\nAccess-Control-Request-Method: GET\r\n", "OPTIONS");
    EXPECT_EQ(r.Status(), 405);
}

TEST_F(ServerTest, KeepsAConnectionForSeveralRequests) {
    const int fd = Connect();
    const std::string request = "GET " + path + "index.html HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    for (int i = 0; i < 3; ++i) {
        const TReply r = Exchange(fd, request);
        EXPECT_EQ(r.Status(), 200);
        EXPECT_EQ(r.Body, "<p>small</p>");
    }
    close(fd);
}

TEST_F(ServerTest, ListsTheEntriesWorthFetchingFromIt) {
    EXPECT_EQ(
        TLoopbackServer::BulkPaths(arc),
        (std::vector<std::string>{"media/large.bin", "media/damaged.bin", "media/stored.bin"}));
}

TEST_F(ServerTest, AnEntryBeyondTheBudgetComesWholeFromItsStart) {
    TEntryStoreOptions options;
    options.Folder = (dir / "entries").string();
    options.Budget = 1 << 20;
    TEntryStore store(arc, options);
    TLoopbackServer small(store);
    Use(small);
    // HTTP lets a server ignore Range: the inflating entry cannot seek, and says so.
    TReply r = Get(path + "media/large.bin", "Range: bytes=1000-1999\r\n");
    EXPECT_EQ(r.Status(), 200);
    EXPECT_TRUE(r.Has("Accept-Ranges: none"));
    EXPECT_TRUE(r.Body == large);
    EXPECT_EQ(store.Usage().Bytes, 0);
    // An entry read in place seeks as ever, whatever its size.
    r = Get(path + "media/stored.bin", "Range: bytes=1000-1999\r\n");
    EXPECT_EQ(r.Status(), 206);
    EXPECT_EQ(r.Body, large.substr(1000, 1000));
}

TEST_F(ServerTest, ClosesIdleAndTricklingConnectionsAndTurnsAwayTooMany) {
    {
        TLoopbackServer quick(*book->Entries(), std::chrono::milliseconds(300));
        Use(quick);
        const int idle = Connect();
        const int trickle = Connect();
        const std::string head =
            "GET " + path + "index.html HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        for (char c : head) {
            if (send(trickle, &c, 1, MSG_NOSIGNAL) != 1) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        char reply[64];
        EXPECT_LE(recv(idle, reply, sizeof reply, 0), 0);
        EXPECT_LE(recv(trickle, reply, sizeof reply, 0), 0);
        close(idle);
        close(trickle);
    }
    Use(*book->MediaServer());
    std::vector<int> open;
    for (int i = 0; i < TLoopbackServer::kMaxConnections; ++i) {
        open.push_back(Connect());
    }
    const int more = Connect();
    EXPECT_EQ(Exchange(more, "").Status(), 503);
    close(more);
    for (int fd : open) {
        close(fd);
    }
}

} // namespace
} // namespace kiva
