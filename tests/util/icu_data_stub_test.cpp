// Static builds link an empty ICU data package instead of ICU's 30 MB data
// library. These tests prove that the empty package is what ICU sees, and
// that serving requests never asks ICU for data at all: with the package's
// page made unreadable, the first data request would kill the process.
// Builds that link ICU's real data skip them.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unicode/putil.h>
#include <unicode/udata.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/request.hpp"
#include "support/files.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

#ifdef VESTIGOR_ICU_DATA_STUB
#include "util/icu_data_stub.hpp"
#endif

namespace vestigor_mcp {
namespace {

using testing::TempVault;
using testing::tool_call_line;
using testing::tool_result_line;

#ifdef VESTIGOR_ICU_DATA_STUB

// Makes the data package's page unreadable for the guard's lifetime.
class DataPageLocked {
 public:
  DataPageLocked() { protect(PROT_NONE); }
  ~DataPageLocked() { protect(PROT_READ); }
  DataPageLocked(const DataPageLocked&) = delete;
  DataPageLocked& operator=(const DataPageLocked&) = delete;

 private:
  static void protect(int mode) {
    void* page = const_cast<void*>(icu_data_stub());
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(page) % kIcuDataStubBytes, 0u);
    ASSERT_EQ(::mprotect(page, kIcuDataStubBytes, mode), 0);
  }
};

// ICU looks for loose data files in its data directory before it looks
// into the package; an empty folder there keeps a host's files out.
class IcuDataStub : public ::testing::Test {
 protected:
  void SetUp() override { u_setDataDirectory(empty_.path().c_str()); }

  TempVault empty_;
};

void ignore_diagnostic(std::string_view) {}

// Asked directly, so that nothing caches the failure: higher-level ICU
// services remember a failed load and would not ask again in this process.
TEST_F(IcuDataStub, DataRequestsFindNothing) {
  for (const char* name : {"nfkc", "uts46", "unames"}) {
    UErrorCode error = U_ZERO_ERROR;
    const char* type = std::string_view(name) == "unames" ? "icu" : "nrm";
    UDataMemory* data = udata_open(nullptr, type, name, &error);
    EXPECT_TRUE(U_FAILURE(error)) << name << ": " << u_errorName(error);
    EXPECT_EQ(data, nullptr) << name;
  }
}

TEST_F(IcuDataStub, TheLockedPageCatchesADataRequest) {
  EXPECT_EXIT(
      {
        DataPageLocked locked;
        UErrorCode error = U_ZERO_ERROR;
        (void)udata_open(nullptr, "nrm", "nfkc", &error);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

// Every tool, with text that takes ICU's paths rather than the ASCII
// shortcuts: full lower-case mappings (U+0130 to i and a combining dot),
// the final sigma, and White_Space beyond ASCII around the log entry.
TEST_F(IcuDataStub, ServingNeverAsksForData) {
  TempVault vault;
  vault.write("current-state.md", "# Now\n\u03a3 state\n");
  // The capital sigma ends a word: it lowers to the final sigma U+03C2.
  vault.write("notes/trip.md",
              "one\n  Two: \u0130STANBUL \u039f\u0394\u039f\u03a3\u3000\n");
  vault.write("notes/other.md", "Stra\u00dfe\n");
  ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);  // unset by ~TempVault

  std::vector<std::string> responses;
  {
    DataPageLocked locked;
    for (const std::string& line : {
             tool_call_line(1, "get_current_state", "{}"),
             tool_call_line(
                 2, "search",
                 R"({"query":"i\u0307stanbul \u03bf\u03b4\u03bf\u03c2"})"),
             tool_call_line(3, "search", R"({"query":"STRASSE"})"),
             tool_call_line(4, "search", R"({"query":"\u2003"})"),
             tool_call_line(5, "append_daily_log",
                            R"({"text":"\u00a0\u3000Stub-free\u2029 "})"),
         }) {
      responses.push_back(handle_line(line, ignore_diagnostic).value_or(""));
    }
  }

  ASSERT_EQ(responses.size(), 5u);
  EXPECT_EQ(responses[0], tool_result_line(1, "# Now\n\u03a3 state\n", false));
  EXPECT_EQ(responses[1],
            tool_result_line(2,
                             "1 file match(es) for "
                             "\"i\u0307stanbul \u03bf\u03b4\u03bf\u03c2\":\n\n"
                             "notes/trip.md:2: Two: "
                             "\u0130STANBUL \u039f\u0394\u039f\u03a3",
                             false));
  EXPECT_EQ(responses[2],
            tool_result_line(3, "No matches for \"STRASSE\".", false));
  EXPECT_EQ(responses[3], tool_result_line(4, "Error: query is empty", true));

  const testing::FolderFiles daily = testing::read_folder(vault.at("daily"));
  ASSERT_EQ(daily.size(), 1u);
  const auto& [name, note] = *daily.begin();
  EXPECT_EQ(responses[4],
            tool_result_line(5, "Appended to daily/" + name, false));
  EXPECT_TRUE(note.ends_with(" Stub-free\n")) << note;
}

#else  // ICU's real data is linked

TEST(IcuDataStub, NotLinkedInThisBuild) {
  GTEST_SKIP() << "this build links ICU's data library; the empty data "
                  "package is linked only by static release builds";
}

#endif

}  // namespace
}  // namespace vestigor_mcp
