#pragma once

// Small component classes for the platform tests: an object with one interface of its own that
// tells the test when it is freed.

#include "ComObj.h"

namespace kiva::test {

struct IFoo : IUnknown {
    static constexpr IID kIID = GuidLiteral("{6A1E2B3C-0001-4000-8000-00000000F001}");
    virtual int Value() = 0;

protected:
    ~IFoo() = default;
};

inline constexpr IID IID_IBar = GuidLiteral("{6A1E2B3C-0002-4000-8000-00000000F002}");

class TFoo final : public TComObjectWith<IFoo> {
public:
    explicit TFoo(bool* freed = nullptr, int value = 7) : freed_(freed), value_(value) {}
    int Value() override { return value_; }

protected:
    ~TFoo() override {
        if (freed_) {
            *freed_ = true;
        }
    }

private:
    bool* freed_;
    int value_;
};

} // namespace kiva::test
