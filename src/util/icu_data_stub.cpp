// icu_data_stub.cpp: an empty ICU common-data package, linked in place of
// ICU's data library (libicudata, about 30 MB) when ICU is linked
// statically. The server asks ICU only for UTF-8 lower-casing in the root
// locale and for the White_Space property; both come from the property
// tables compiled into libicuuc, so nothing ever looks into this package.
// Anything that did (a converter, a normaliser other than NFC, a locale's
// rules) would find it empty and get an error code instead of data.
//
// ICU looks the package up by a symbol whose name carries its major
// version (icudt72_dat for ICU 72); U_ICUDATA_ENTRY_POINT spells it from
// the headers of the ICU being built against (its helper macros are ICU
// internals, hence U_SHOW_INTERNAL_API).
#define U_SHOW_INTERNAL_API 1
#include "util/icu_data_stub.hpp"

#include <unicode/udata.h>
#include <unicode/utypes.h>

#include <cstdint>

namespace vestigor_mcp {

// The head of an ICU data package: header size, two magic bytes, the
// format description, padding to the 32-byte header, then a table of
// contents in ICU's pointer form ("ToCP") holding no entries. Aligned to a
// page and a page long, so that the package has a page of its own: a test
// makes that page unreadable to prove nothing looks at it.
struct alignas(kIcuDataStubBytes) IcuEmptyDataPackage {
  std::uint16_t header_size;
  std::uint8_t magic1;
  std::uint8_t magic2;
  UDataInfo info;
  char padding[8];
  std::uint32_t count;
  std::uint32_t reserved;
  const void* unused_entry[2];  // name and data of an entry, never read
};

static_assert(sizeof(UDataInfo) == 20);
static_assert(sizeof(IcuEmptyDataPackage) == kIcuDataStubBytes);

}  // namespace vestigor_mcp

extern "C" {
extern const vestigor_mcp::IcuEmptyDataPackage U_ICUDATA_ENTRY_POINT;
U_EXPORT const vestigor_mcp::IcuEmptyDataPackage U_ICUDATA_ENTRY_POINT = {
    32,    // header_size
    0xda,  // magic1
    0x27,  // magic2
    {
        sizeof(UDataInfo),
        0,  // reservedWord
        U_IS_BIG_ENDIAN,
        U_CHARSET_FAMILY,
        sizeof(UChar),
        0,                         // reservedByte
        {0x54, 0x6f, 0x43, 0x50},  // dataFormat "ToCP"
        {1, 0, 0, 0},              // formatVersion
        {0, 0, 0, 0},              // dataVersion
    },
    {},  // padding
    0,   // count: no entries
    0,   // reserved
    {},  // unused_entry
};
}

namespace vestigor_mcp {

const void* icu_data_stub() { return &U_ICUDATA_ENTRY_POINT; }

}  // namespace vestigor_mcp
