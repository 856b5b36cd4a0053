// soak: one server process, a long stream of mixed requests, and two
// checks that it stays flat: its resident memory at the end is within
// 1 MiB of what it was after the first 10,000 requests, and it holds the
// same number of open descriptors.
//
//   soak [REQUESTS] [SERVER]
//
// REQUESTS defaults to 1,000,000. The mix, repeated every 64 requests:
// ping (numeric and string ids), initialize, tools/list, searches on a
// generated 1,000-note vault (a common word that stops at 50 files, a
// non-ASCII one, and now and then a rare word that reads every note), both
// snapshots, appends of 100-byte entries into that vault, unknown tools, empty
// queries, lines that are not JSON, blank lines, nesting too deep, unknown
// methods and notifications. Every answer is checked against what its
// request must give. The vault is made under $TMPDIR (else /tmp) and
// removed at the end. Exit status 0 when every check held, 1 otherwise.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bench_support.hpp"

namespace {

using vestigor_bench::Random;

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kBaselineAt = 10000;
constexpr long kRssSlackKiB = 1024;
constexpr std::size_t kWindow = 256;  // answers awaited at most at once
constexpr std::chrono::seconds kStall{60};

constexpr std::array<std::string_view, 24> kWords = {
    "the",    "note",    "agent",  "memory", "thread",  "review",
    "design", "server",  "client", "cache",  "index",   "deploy",
    "budget", "risk",    "owner",  "fix",    "release", "schema",
    "table",  "backlog", "draft",  "done",   "blocked", "follow"};

bool write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  return static_cast<bool>(out);
}

// 1,000 notes in 20 folders (names that sort before daily/), each with
// "project" on its third line; "Café Zürich" in every seventh note;
// "QuasarWick" in three. Plus both snapshot notes.
bool make_vault(const std::string& root) {
  Random random(42);
  for (int folder = 0; folder < 20; ++folder) {
    char name[16];
    std::snprintf(name, sizeof name, "/a%02d", folder);
    const std::string dir = root + name;
    if (::mkdir(dir.c_str(), 0755) != 0) {
      return false;
    }
    for (int n = 0; n < 50; ++n) {
      const int index = folder * 50 + n;
      std::string note = "# Note " + std::to_string(index) + "\n\n";
      const std::size_t lines = 15 + random.below(25);
      for (std::size_t line = 0; line < lines; ++line) {
        note += "- ";
        if (line == 1) {
          note += "project ";
        }
        if (line == 5 && index % 7 == 0) {
          note += "Café Zürich naïve Σίσυφος ";
        }
        if (line == 9 && (index == 310 || index == 640 || index == 970)) {
          note += "QuasarWick ";
        }
        for (std::size_t w = 4 + random.below(10); w > 0; --w) {
          note += kWords[random.below(kWords.size())];
          note += ' ';
        }
        note += '\n';
      }
      char file[32];
      std::snprintf(file, sizeof file, "/note-%03d.md", n);
      if (!write_file(dir + file, note)) {
        return false;
      }
    }
  }
  return ::mkdir((root + "/agents").c_str(), 0755) == 0 &&
         ::mkdir((root + "/agents/memory").c_str(), 0755) == 0 &&
         write_file(root + "/current-state.md",
                    "# Current state\n\nSoak vault, steady.\n") &&
         write_file(root + "/agents/memory/open-threads.md",
                    "# Open threads\n\n- keep the server flat\n");
}

// About 100 bytes of words for each appended entry, none of them searched
// for. The day's note grows by 3 KB between two searches that read it
// whole, and by 3 MB over a million requests: a note that grows little by
// little, as a real day's log does, is the case where an allocator that
// keeps freed blocks for reuse grows along with it.
const std::string& entry_filler() {
  static const std::string filler = [] {
    std::string words;
    Random random(7);
    while (words.size() < 80) {
      words += kWords[random.below(kWords.size())];
      words += ' ';
    }
    return words;
  }();
  return filler;
}

enum class Kind {
  kPing,
  kPingStringId,
  kInitialize,
  kToolsList,
  kSearchCommon,
  kSearchNonAscii,
  kSearchRare,
  kCurrentState,
  kOpenThreads,
  kAppend,
  kUnknownTool,
  kEmptyQuery,
  kInvalidJson,
  kBlank,
  kTrailing,
  kTooDeep,
  kUnknownMethod,
  kNotifyPing,
  kNotifySearch,
  kNotifyUnknown,
};

// How often each kind comes in one cycle of 64 requests.
constexpr std::pair<Kind, int> kShares[] = {
    {Kind::kPing, 10},         {Kind::kPingStringId, 4},
    {Kind::kInitialize, 2},    {Kind::kToolsList, 6},
    {Kind::kSearchCommon, 4},  {Kind::kSearchNonAscii, 1},
    {Kind::kCurrentState, 4},  {Kind::kOpenThreads, 4},
    {Kind::kAppend, 2},        {Kind::kUnknownTool, 2},
    {Kind::kEmptyQuery, 2},    {Kind::kInvalidJson, 4},
    {Kind::kBlank, 2},         {Kind::kTrailing, 2},
    {Kind::kTooDeep, 1},       {Kind::kUnknownMethod, 6},
    {Kind::kNotifyPing, 4},    {Kind::kNotifySearch, 1},
    {Kind::kNotifyUnknown, 3},
};
constexpr int kCycle = 64;

constexpr int shares_total() {
  int total = 0;
  for (const auto& share : kShares) {
    total += share.second;
  }
  return total;
}
static_assert(shares_total() == kCycle);

constexpr int most_of_one_kind() {
  int most = 0;
  for (const auto& share : kShares) {
    most = std::max(most, share.second);
  }
  return most;
}

// The cycle, each kind spread over it rather than in one run.
constexpr std::array<Kind, kCycle> kMix = [] {
  std::array<Kind, kCycle> mix{};
  std::size_t slot = 0;
  for (int round = 0; round < most_of_one_kind(); ++round) {
    for (const auto& [kind, count] : kShares) {
      if (round < count) {
        mix[slot++] = kind;
      }
    }
  }
  return mix;
}();

struct Request {
  std::string line;
  std::string answer_prefix;  // empty: no answer may come
  std::string answer_holds;   // a piece the answer must contain
};

std::string call(const std::string& id, std::string_view tool,
                 std::string_view arguments) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id +
         ",\"method\":\"tools/call\",\"params\":{\"name\":\"" +
         std::string(tool) + "\",\"arguments\":" + std::string(arguments) +
         "}}";
}

// The tool calls of the mix and a piece each answer must hold.
struct ToolCall {
  Kind kind;
  std::string_view tool;
  std::string_view arguments;
  std::string_view holds;
};
constexpr ToolCall kToolCalls[] = {
    {Kind::kSearchCommon, "search", R"({"query":"project"})",
     "50 file match(es) for"},
    {Kind::kSearchNonAscii, "search", R"({"query":"CAFÉ ZÜRICH"})",
     "50 file match(es) for"},
    {Kind::kSearchRare, "search", R"({"query":"quasarwick"})",
     "3 file match(es) for"},
    {Kind::kCurrentState, "get_current_state", "{}", "Soak vault, steady."},
    {Kind::kOpenThreads, "list_open_threads", "{}", "keep the server flat"},
    {Kind::kUnknownTool, "nope", "{}", "Error: unknown tool: nope"},
    {Kind::kEmptyQuery, "search", R"({"query":" "})", "Error: query is empty"},
};

Request make_request(std::uint64_t i) {
  const std::string id = std::to_string(i);
  const std::string answered = "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",";
  Kind kind = kMix[i % kMix.size()];
  if (i % 1024 == 1000) {
    kind = Kind::kSearchRare;  // reads every note, the daily one included
  }
  for (const ToolCall& c : kToolCalls) {
    if (c.kind == kind) {
      return {call(id, c.tool, c.arguments), answered, std::string(c.holds)};
    }
  }
  switch (kind) {
    case Kind::kPing:
      return {"{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"ping\"}",
              answered + "\"result\":{}}", ""};
    case Kind::kPingStringId:
      return {
          "{\"id\":\"s-" + id + "\",\"method\":\"ping\",\"jsonrpc\":\"2.0\"}",
          "{\"id\":\"s-" + id + "\",\"jsonrpc\":\"2.0\",\"result\":{}}", ""};
    case Kind::kInitialize:
      return {"{\"jsonrpc\":\"2.0\",\"id\":" + id +
                  ",\"method\":\"initialize\",\"params\":{}}",
              answered, "\"protocolVersion\":\"2024-11-05\""};
    case Kind::kToolsList:
      return {
          "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"tools/list\"}",
          answered, "\"append_daily_log\""};
    case Kind::kAppend:
      return {
          call(id, "append_daily_log",
               "{\"text\":\"soak entry " + id + ": " + entry_filler() + "\"}"),
          answered, "Appended to daily/"};
    case Kind::kInvalidJson:
      return {"{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":", "", ""};
    case Kind::kBlank:
      return {" \t ", "", ""};
    case Kind::kTrailing:
      return {"{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"ping\"} x",
              "", ""};
    case Kind::kTooDeep:
      return {std::string(200, '[') + std::string(200, ']'), "", ""};
    case Kind::kUnknownMethod:
      return {"{\"jsonrpc\":\"2.0\",\"id\":" + id +
                  ",\"method\":\"resources/list\"}",
              "{\"error\":{\"code\":-32601,", "\"id\":" + id + ","};
    case Kind::kNotifyPing:
      return {"{\"jsonrpc\":\"2.0\",\"method\":\"ping\"}", "", ""};
    case Kind::kNotifySearch:
      return {
          "{\"jsonrpc\":\"2.0\",\"method\":\"tools/call\",\"params\":{"
          "\"name\":\"search\",\"arguments\":{\"query\":\"project\"}}}",
          "", ""};
    case Kind::kNotifyUnknown:
      return {"{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}",
              "", ""};
    default:
      break;  // the tool calls, above
  }
  return {};
}

struct Usage {
  long rss_kib = -1;
  long anon_kib = -1;  // heap and stacks: what the server allocated
  long file_kib = -1;  // mapped code and data of the binary and libraries
  long hwm_kib = -1;
  long fds = -1;
};

Usage usage_of(pid_t pid) {
  Usage usage;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) {
      usage.rss_kib = std::atol(line.c_str() + 6);
    } else if (line.starts_with("RssAnon:")) {
      usage.anon_kib = std::atol(line.c_str() + 8);
    } else if (line.starts_with("RssFile:")) {
      usage.file_kib = std::atol(line.c_str() + 8);
    } else if (line.starts_with("VmHWM:")) {
      usage.hwm_kib = std::atol(line.c_str() + 6);
    }
  }
  const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = ::opendir(fd_dir.c_str())) {
    usage.fds = 0;
    while (const dirent* entry = ::readdir(dir)) {
      usage.fds += entry->d_name[0] == '.' ? 0 : 1;
    }
    ::closedir(dir);
  }
  return usage;
}

void report_progress(std::uint64_t requests, const Usage& usage) {
  std::fprintf(stderr,
               "soak: %llu requests, VmRSS %ld KiB (anon %ld, file %ld), "
               "%ld fds\n",
               static_cast<unsigned long long>(requests), usage.rss_kib,
               usage.anon_kib, usage.file_kib, usage.fds);
}

struct Expected {
  std::string prefix;
  std::string holds;
};

class Soak {
 public:
  explicit Soak(vestigor_bench::BenchServer& server) : server_(server) {}

  // Sends requests [from, to) and then a checkpoint ping, and waits until
  // the server has answered everything. False on a wrong answer or stall.
  bool run(std::uint64_t from, std::uint64_t to) {
    std::uint64_t next = from;
    bool checkpoint_sent = false;
    for (;;) {
      // The window is refilled once half of it is answered, in one batch.
      std::string batch;
      const bool refill = awaited_.size() <= kWindow / 2;
      while (refill && !checkpoint_sent && awaited_.size() < kWindow &&
             batch.size() < 65536) {
        if (next < to) {
          queue(make_request(next++), batch);
        } else {
          queue(
              {"{\"jsonrpc\":\"2.0\",\"id\":\"checkpoint\",\"method\":"
               "\"ping\"}",
               "{\"id\":\"checkpoint\",\"jsonrpc\":\"2.0\",\"result\":{}}", ""},
              batch);
          checkpoint_sent = true;
        }
      }
      if (!batch.empty() && !server_.send(batch, kStall)) {
        std::fprintf(stderr, "soak: the server stopped reading\n");
        return false;
      }
      if (checkpoint_sent && awaited_.empty()) {
        return true;
      }
      const std::optional<std::string> answer = server_.read_line(kStall);
      if (!answer) {
        std::fprintf(stderr, "soak: no answer near request %llu\n",
                     static_cast<unsigned long long>(next));
        return false;
      }
      const Expected& expected = awaited_.front();
      if (!answer->starts_with(expected.prefix) ||
          answer->find(expected.holds) == std::string::npos) {
        std::fprintf(stderr, "soak: wrong answer %s\n  expected %s...%s\n",
                     answer->c_str(), expected.prefix.c_str(),
                     expected.holds.c_str());
        return false;
      }
      awaited_.pop_front();
      ++answers_;
    }
  }

  std::uint64_t answers() const { return answers_; }

 private:
  void queue(Request request, std::string& batch) {
    batch += request.line;
    batch += '\n';
    if (!request.answer_prefix.empty()) {
      awaited_.push_back(
          {std::move(request.answer_prefix), std::move(request.answer_holds)});
    }
  }

  vestigor_bench::BenchServer& server_;
  std::deque<Expected> awaited_;
  std::uint64_t answers_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const long long requested = argc > 1 ? std::atoll(argv[1]) : 1000000;
  const std::string binary = argc > 2 ? argv[2] : VESTIGOR_BINARY;
  if (requested <= static_cast<long long>(kBaselineAt)) {
    std::fprintf(stderr, "usage: soak [REQUESTS > %llu] [SERVER]\n",
                 static_cast<unsigned long long>(kBaselineAt));
    return 2;
  }
  const auto total = static_cast<std::uint64_t>(requested);
  const char* tmp = std::getenv("TMPDIR");
  std::string vault = std::string(tmp ? tmp : "/tmp") + "/vestigor-soak-XXXXXX";
  if (::mkdtemp(vault.data()) == nullptr || !make_vault(vault)) {
    std::perror("soak: making the vault");
    return 1;
  }

  vestigor_bench::BenchServer server(
      binary, {{"VESTIGOR_VAULT", vault}, {"TZ", "UTC"}});
  const auto start = Clock::now();
  Soak soak(server);
  bool ok = soak.run(0, kBaselineAt);
  const Usage baseline = usage_of(server.pid());
  report_progress(kBaselineAt, baseline);
  constexpr std::uint64_t kReportEvery = 100000;
  for (std::uint64_t from = kBaselineAt; ok && from < total;) {
    const std::uint64_t to =
        std::min(total, (from / kReportEvery + 1) * kReportEvery);
    ok = soak.run(from, to);
    from = to;
    if (ok && to < total) {
      const Usage now = usage_of(server.pid());
      report_progress(to, now);
    }
  }
  const Usage end = usage_of(server.pid());
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count();
  server.close_input();
  const int status = server.wait_exit(std::chrono::seconds(30)).value_or(-1);
  std::error_code ec;
  std::filesystem::remove_all(vault, ec);

  std::printf(
      "soak: %llu requests (%llu answers) in %.1f s, %.0f requests/s\n"
      "  VmRSS after %llu: %ld KiB; at the end: %ld KiB (%+ld KiB; anon "
      "%+ld, file %+ld); VmHWM %ld KiB\n"
      "  open descriptors after %llu: %ld; at the end: %ld\n"
      "  exit status %d\n",
      static_cast<unsigned long long>(total),
      static_cast<unsigned long long>(soak.answers()), seconds,
      static_cast<double>(total) / seconds,
      static_cast<unsigned long long>(kBaselineAt), baseline.rss_kib,
      end.rss_kib, end.rss_kib - baseline.rss_kib,
      end.anon_kib - baseline.anon_kib, end.file_kib - baseline.file_kib,
      end.hwm_kib, static_cast<unsigned long long>(kBaselineAt), baseline.fds,
      end.fds, status);
  const long drift = end.rss_kib - baseline.rss_kib;
  const bool flat =
      baseline.rss_kib > 0 && drift <= kRssSlackKiB && drift >= -kRssSlackKiB;
  const bool same_fds = baseline.fds > 0 && end.fds == baseline.fds;
  if (!flat) {
    std::printf("  FAIL: resident memory moved by more than %ld KiB\n",
                kRssSlackKiB);
  }
  if (!same_fds) {
    std::printf("  FAIL: the number of open descriptors changed\n");
  }
  if (!ok || status != 0) {
    std::printf("  FAIL: %s\n", ok ? "bad exit status" : "see above");
  }
  return ok && flat && same_fds && status == 0 ? 0 : 1;
}
