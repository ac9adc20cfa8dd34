// gen_test_util.h: the fixture of the tests of column storage and the
// relation writer: a control block cleared before each test and cleaned up
// after it, and a scratch directory for its files.
#ifndef ZERVGEN_TESTS_GEN_TEST_UTIL_H_
#define ZERVGEN_TESTS_GEN_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstring>

#include "app/datagen.h"
#include "base/except.h"
#include "core/columns.h"
#include "scratch_dir.h"

namespace zervgen_test {

class ControlBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&cb_, 0, sizeof cb_);
    zervgen::Xept_Reset();
  }
  void TearDown() override { zervgen::Main_cleanup(&cb_); }

  zervgen::GenControlBlock cb_;
  ScratchDir dir_;
};

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_GEN_TEST_UTIL_H_
