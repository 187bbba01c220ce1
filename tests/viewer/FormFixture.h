#pragma once

// The main window's logic with a recorded window and browser, in a folder of its own, and the
// archives its tests open.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Dialogs.h"
#include "RecordingDialogs.h"
#include "TestArchives.h"
#include "Unit1.h"
#include "ViewerDoubles.h"

namespace kiva::test {

namespace fs = std::filesystem;

inline const std::string kIndexPage = "<html><head><title>Home</title></head></html>";

inline TOptionsRecord SampleOptions() {
    TOptionsRecord r;
    r.Text(projopt::StartPage, "C:\\site\\index.html")
        .Int(projopt::WindowStyle, 2)
        .Int(projopt::WindowWidth, 830)
        .Int(projopt::WindowHeight, 430)
        .Flag(projopt::CenterWindow)
        .Flag(projopt::ShowToolBar)
        .Flag(projopt::ShowStatusBar)
        .Flag(projopt::AllowFind)
        .Flag(projopt::AllowPrint);
    return r;
}

class Form1Test : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiva-form-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // Whatever a book keeps goes below the test's folder.
        setenv("XDG_CACHE_HOME", Path("cache").c_str(), 1);
        setenv("XDG_DATA_HOME", Path("data").c_str(), 1);
        SetApplicationTitle(kApplicationTitle);
        // A bare viewer: an executable that carries no archive.
        bareExe = Path("kivabook-viewer");
        test::WriteFile(bareExe, "\x7f"
                                 "ELF not an archive at all, just some bytes of a program");
    }
    void TearDown() override {
        Finish();
        unsetenv("XDG_CACHE_HOME");
        unsetenv("XDG_DATA_HOME");
        fs::remove_all(dir);
    }

    // Ends the form as the program does, so that no registration outlives it.
    void Finish() {
        if (form) {
            form->Destroy();
            form.reset();
        }
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    // Writes an archive (after host bytes, when given) and returns its path.
    std::string Archive(const std::string& name, const std::vector<test::TEntrySpec>& entries,
                        const std::string& host = std::string()) {
        const std::string p = Path(name);
        test::WriteFile(p, host + BuildArchive(entries));
        return p;
    }
    std::string Site(const std::string& name, const TOptionsRecord& options = SampleOptions()) {
        return Archive(name, {{"index.html", kIndexPage}, {"-config-", options.Str()}});
    }

    TForm1& Start(std::vector<std::string> params, std::string exe = std::string()) {
        form = std::make_unique<TForm1>(
            view, TStartupParams{exe.empty() ? bareExe : exe, std::move(params)});
        log.clear();
        form->Create();
        return *form;
    }
    test::TFakeBrowser& Browser() { return *browserClass.Last; }
    bool Logged(const std::string& entry) const {
        return std::find(log.begin(), log.end(), entry) != log.end();
    }
    bool NavigatedAnywhere() const {
        return std::any_of(log.begin(), log.end(),
                           [](const std::string& s) { return s.rfind("Navigate ", 0) == 0; });
    }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> r;
        for (const auto& b : user.Boxes) {
            r.push_back(b.Caption + ": " + b.Text);
        }
        return r;
    }

    fs::path dir;
    std::string bareExe;
    TCallLog log;
    TFakeBrowserClass browserClass{log};
    TFakeView view{log};
    TRecordingDialogs user;
    TDialogsScope dialogs{user};
    std::unique_ptr<TForm1> form;
};

} // namespace kiva::test
