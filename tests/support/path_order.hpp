// path_order.hpp: the order in which the walk meets notes and the search
// reports them, written plainly for the tests and the bench programs:
// component by component, each compared as unsigned bytes, a path before
// the paths below it.
#pragma once

#include <algorithm>
#include <string_view>
#include <vector>

#include "util/path.hpp"

namespace vestigor_mcp::testing {

// std::string_view compares as unsigned bytes (char_traits<char>::lt).
inline bool path_less(std::string_view a, std::string_view b) {
  const std::vector<std::string_view> x = split_path(a);
  const std::vector<std::string_view> y = split_path(b);
  return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

}  // namespace vestigor_mcp::testing
