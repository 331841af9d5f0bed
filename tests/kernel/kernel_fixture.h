// A runtime and a kernel for one test; a test fails if it leaves a verifier violation behind.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "vel/kernel/kernel.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel_kernel.h"

namespace vel::kernel::test {

class KernelTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const auto& violation : runtime.verifier().take()) {
            ADD_FAILURE() << "verifier: " << violation.toString();
        }
    }

    rt::Runtime runtime;
    Kernel kernel;
};

// A UNICODE_STRING over a caller's buffer with the given text (not terminated).
struct Counted {
    explicit Counted(std::u16string text, size_t capacityChars = 0) : buffer(std::move(text)) {
        const size_t length = buffer.size();
        buffer.resize(std::max(capacityChars, length), u'#');
        string.Buffer = buffer.data();
        string.Length = static_cast<USHORT>(length * sizeof(WCHAR));
        string.MaximumLength = static_cast<USHORT>(buffer.size() * sizeof(WCHAR));
    }
    std::u16string text() const { return std::u16string(string.Buffer, string.Length / 2); }

    std::u16string buffer;
    UNICODE_STRING string{};
};

}  // namespace vel::kernel::test
