// path_order.hpp: the order in which the walk meets notes and the search
// reports them, written plainly for the tests and the bench programs:
// component by component, each compared as unsigned bytes, a path before
// the paths below it.
#pragma once

#include <algorithm>
#include <string_view>
#include <vector>

namespace vestigor_mcp::testing {

inline std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) {
      parts.push_back(path.substr(start, slash - start));
    }
    start = slash + 1;
  }
  return parts;
}

// std::string_view compares as unsigned bytes (char_traits<char>::lt).
inline bool path_less(std::string_view a, std::string_view b) {
  const std::vector<std::string_view> x = path_components(a);
  const std::vector<std::string_view> y = path_components(b);
  return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

}  // namespace vestigor_mcp::testing
