// P("a.b.0"): a setting path written as text in a test; a text that does not
// parse fails the test.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "store/velder_path.h"

inline VelderPath::Path P(std::string_view text) {
  VelderPath::Path path;
  EXPECT_TRUE(VelderPath::Parse(text, path)) << text;
  return path;
}
