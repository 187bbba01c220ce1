#pragma once

// Points the registry at a folder of the test's own for the life of the fixture.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kiva::test {

class TempConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            saved_ = old;
        }
        char tmpl[] = "/tmp/kiva-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    }
    void TearDown() override {
        if (saved_) {
            setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        std::error_code ec;
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(dir, ec);
    }

    std::filesystem::path dir;

private:
    std::optional<std::string> saved_;
};

} // namespace kiva::test
