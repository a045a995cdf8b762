// Table-driven suites whose rows carry their own Name: that name becomes the
// test's name, so a failure names its row.
#pragma once

#include <gtest/gtest.h>

#include <string>

// The last argument of INSTANTIATE_TEST_SUITE_P for such a table.
struct CaseName {
  template <typename Case>
  std::string operator()(const testing::TestParamInfo<Case> &Info) const {
    return Info.param.Name;
  }
};
