#pragma once

// A real archive on disk, opened by a reader that serves the handler, a private TMPDIR, and
// recording stand-ins for the platform's sink and bind information.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ArchiveBytes.h"
#include "BookSession.h"
#include "OurNSHandler.h"
#include "ZLIBArchive2.h"

namespace kiva::test {

inline std::string Hex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(hr));
    return buf;
}

// Keeps every notification in order as text, e.g. "data 13 10 10".
class TRecordingSink final : public TComObjectWith<IInternetProtocolSink> {
public:
    HRESULT Switch(PROTOCOLDATA*) override { return E_NOTIMPL; }
    HRESULT ReportProgress(ULONG status, LPCWSTR text) override {
        Calls.push_back("progress " + std::to_string(status) + " " +
                        (text ? WideToAnsi(WideView(text)) : "null"));
        return S_OK;
    }
    HRESULT ReportData(DWORD flags, ULONG progress, ULONG progressMax) override {
        Calls.push_back("data " + std::to_string(flags) + " " + std::to_string(progress) + " " +
                        std::to_string(progressMax));
        return S_OK;
    }
    HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR text) override {
        Calls.push_back("result " + Hex(result) + " " + std::to_string(error) + " " +
                        (text ? WideToAnsi(WideView(text)) : "null"));
        return S_OK;
    }
    std::vector<std::string> Calls;
};

// The bind information of a request that reads the given book's services (none when null).
class TRecordingBindInfo final : public TComObjectWith<IInternetBindInfo, IServiceProvider> {
public:
    TRecordingBindInfo(DWORD flags, HRESULT result, IServiceProvider* services)
        : flags_(flags), result_(result), services_(services) {}
    HRESULT GetBindInfo(DWORD* grfBINDF, BINDINFO* info) override {
        AskedSize = info->cbSize;
        *grfBINDF = flags_;
        return result_;
    }
    HRESULT QueryService(REFGUID service, REFIID iid, void** object) override {
        *object = nullptr;
        return services_ ? services_->QueryService(service, iid, object) : E_NOINTERFACE;
    }
    ULONG AskedSize = 0;

private:
    DWORD flags_;
    HRESULT result_;
    ComPtr<IServiceProvider> services_;
};

// The process's open descriptors whose target starts with prefix: a file's path (a deleted
// file's shows its folder), "/memfd:" for memory files, "socket:" for sockets.
inline int DescriptorsTo(const std::string& prefix) {
    int count = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
        count += !ec && target.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

struct TReadStep {
    HRESULT Result;
    ULONG Count;
    bool operator==(const TReadStep&) const = default;
};

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiva-protocol-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        tempDir = dir / "tmp";
        std::filesystem::create_directory(tempDir);
        if (const char* old = std::getenv("TMPDIR")) {
            savedTmpDir_ = old;
        }
        setenv("TMPDIR", tempDir.c_str(), 1);
        // The book's folders (entry files) go below the test's own folder.
        for (const char* var : {"XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
            if (const char* old = std::getenv(var)) {
                savedXdg_.emplace_back(var, old);
            }
            setenv(var, (dir / var).c_str(), 1);
        }

        archiveFile = (dir / "site.kvb").string();
        Archive().WriteTo(archiveFile);
        arc.OpenArchive(archiveFile);
        OurNSHandlerInit();
    }

    void TearDown() override {
        book.reset();
        OurNSHandlerFinal();
        if (savedTmpDir_) {
            setenv("TMPDIR", savedTmpDir_->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
        unsetenv("XDG_CACHE_HOME");
        unsetenv("XDG_DATA_HOME");
        for (const auto& [var, value] : savedXdg_) {
            setenv(var.c_str(), value.c_str(), 1);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    static TArchiveBytes Archive() {
        TArchiveBytes a;
        a.Add({"", "index.html", "<html><title>Index</title></html>", true})
            .Add({"docs\\", "a b.html", "spaced", false})
            .Add({"", "a b.html", "plus", false})
            .Add({"", "a+b.html", "escaped plus", false})
            .Add({"", "page.html#top", "fragment", false})
            .Add({"", "empty.bin", "", false})
            .Add({"", "ten.bin", "0123456789", false})
            .Add({"media\\", "clip.swf", "first clip", true})
            .Add({"other\\", "clip.swf", "second clip", false})
            .Add({"docs\\", "..", "dots", false})
            .Add({"", std::string("x\x01y.txt"), "control", false})
            .Add({"", "broken.html", std::string(5000, 'b'), true, 20})
            // Archives made on Windows store names in Windows-1252.
            .Add({"", "caf\xE9.html", "cp1252 page", false})
            .Add({"media\\", "tone.webm", "not really webm", false});
        return a;
    }

    // Starts a fresh handler on the URL with a recording sink and bind information.
    HRESULT StartOn(const std::u16string& url, DWORD flags = 0, HRESULT bindResult = S_OK) {
        handler = ComPtr<TOurNSHandler>(new TOurNSHandler);
        sink = ComPtr<TRecordingSink>(new TRecordingSink);
        bindInfo = ComPtr<TRecordingBindInfo>(
            new TRecordingBindInfo(flags, bindResult, book ? book->Services() : nullptr));
        return handler->Start(url.c_str(), sink.Get(), bindInfo.Get(), 0, 0);
    }

    // The services a request of the open book carries.
    IServiceProvider* Services() const { return book ? book->Services() : nullptr; }

    std::vector<TReadStep> ReadAll(ULONG cb, std::string& data) {
        std::vector<TReadStep> steps;
        std::vector<char> buf(cb);
        for (int i = 0; i < 1000; ++i) {
            ULONG n = 12345;
            const HRESULT hr = handler->Read(buf.data(), cb, &n);
            steps.push_back({hr, n});
            data.append(buf.data(), hr == S_OK || hr == S_FALSE ? n : 0);
            if (hr != S_OK) {
                break;
            }
        }
        return steps;
    }

    std::filesystem::path dir;
    std::filesystem::path tempDir;
    std::string archiveFile;
    // The book the requests read; the handler finds it through the bind information.
    std::unique_ptr<TBookSession> book = std::make_unique<TBookSession>();
    TZLBArc2& arc = book->Archive();
    ComPtr<TOurNSHandler> handler;
    ComPtr<TRecordingSink> sink;
    ComPtr<TRecordingBindInfo> bindInfo;

private:
    std::optional<std::string> savedTmpDir_;
    std::vector<std::pair<std::string, std::string>> savedXdg_;
};

} // namespace kiva::test
