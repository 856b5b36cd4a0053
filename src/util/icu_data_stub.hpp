// icu_data_stub.hpp: the empty ICU data package that static builds link in
// place of ICU's data library (icu_data_stub.cpp). Present only in builds
// that define VESTIGOR_ICU_DATA_STUB.
#pragma once

#include <cstddef>

namespace vestigor_mcp {

// The package fills exactly one page of its own.
inline constexpr std::size_t kIcuDataStubBytes = 4096;

// Where the package lies; ICU reads it on every request for data.
const void* icu_data_stub();

}  // namespace vestigor_mcp
