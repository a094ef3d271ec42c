// Shared set-up of the service tests: a clean fake platform and register, and a check that
// every test gives back all it took.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "fake_platform.h"
#include "error_register.h"

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        lastError = 0;
    }
    void TearDown() override { EXPECT_EQ("", fake::unreleased()); }

    static int32_t code() { return lastError.load(); }
};

// A small distinct encoding per tag. Made at its final size: GCC 12 at -O3 takes growing a
// three-byte vector with resize() for an out-of-bounds copy (-Warray-bounds).
inline std::vector<BYTE> der(BYTE tag, size_t extra = 0) {
    std::vector<BYTE> bytes(3 + extra, 0xAB);
    bytes[0] = 0x30;
    bytes[1] = static_cast<BYTE>(1 + extra);
    bytes[2] = tag;
    return bytes;
}
