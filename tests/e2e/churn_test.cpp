// Searches while the vault changes under them: a thread of this test keeps
// appending to, renaming, deleting and replacing notes and folders, puts
// FIFOs in place of notes and link loops in place of folders, while one
// server answers search after search. The server must answer each within a
// bound and never crash, and every line it reports must be one that was in
// a note at some moment. The churn only ever writes lines from a known
// set, so that last check is membership in that set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/json.hpp"
#include "support/live_server.hpp"
#include "support/path_order.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// Lines the churn writes. Only the "needle" ones match the queries.
std::vector<std::string> known_lines(bool needles) {
  std::vector<std::string> lines;
  for (int k = 0; k < 16; ++k) {
    char line[32];
    std::snprintf(line, sizeof line,
                  needles ? "needle %02d ok" : "plain %02d filler", k);
    lines.emplace_back(line);
  }
  return lines;
}

const std::vector<std::string> kFolders = {"f0", "f1", "f2", "f0/g0", "f1/g1"};

// The note paths the churn works on, relative to the vault.
std::vector<std::string> note_names() {
  std::vector<std::string> names;
  for (const char* note : {"n0.md", "n1.md", "n2.md", "n3.md"}) {
    names.emplace_back(note);
    for (const std::string& folder : kFolders) {
      names.push_back(folder);
      names.back().append("/").append(note);
    }
  }
  return names;
}

class Churn {
 public:
  explicit Churn(std::string vault, unsigned seed)
      : vault_(std::move(vault)), random_(seed) {}

  // One change; every kind comes round in turn, the targets at random.
  void step() {
    const std::string note = at(pick(notes_));
    const std::string folder = at(pick(kFolders));
    switch (steps_++ % 10) {
      case 0:
      case 1:
        append(note);
        break;
      case 2:
        replace(note);
        break;
      case 3:
        (void)::rename(note.c_str(), at(pick(notes_)).c_str());
        break;
      case 4:
        (void)::unlink(note.c_str());
        break;
      case 5:  // a FIFO where a note was
        (void)::unlink(note.c_str());
        (void)::mkfifo(note.c_str(), 0644);
        break;
      case 6:
        (void)::rename(folder.c_str(), at(pick(kFolders)).c_str());
        break;
      case 7: {  // a link loop where a folder was
        remove(folder);
        const std::string other = at(pick(kFolders));
        if (other == folder || random_() % 2 == 0) {
          (void)::symlink(fs::path(folder).filename().c_str(),
                          folder.c_str());  // to itself
        } else {
          (void)::symlink(other.c_str(), folder.c_str());
          remove(other);
          (void)::symlink(folder.c_str(), other.c_str());
        }
        break;
      }
      case 8:  // a link back to the top: a cycle for the walk. Absolute,
               // so that it stays inside the vault wherever it is moved.
        remove(folder);
        (void)::symlink(vault_.c_str(), folder.c_str());
        break;
      default:  // a fresh folder with notes
        remove(folder);
        (void)::mkdir(folder.c_str(), 0755);
        for (int n = 0; n < 3; ++n) {
          replace(folder + "/n" + std::to_string(n) + ".md");
        }
        break;
    }
  }

  int steps() const { return steps_; }

 private:
  std::string at(const std::string& relative) const {
    return vault_ + "/" + relative;
  }

  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[random_() % from.size()];
  }

  std::string random_line() {
    return pick(random_() % 2 == 0 ? needles_ : plain_) + "\n";
  }

  // One write of one whole line, to a regular file only.
  void append(const std::string& note) {
    const int fd = ::open(note.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK);
    if (fd < 0) {
      return;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      const std::string line = random_line();
      (void)!::write(fd, line.data(), line.size());
    }
    ::close(fd);
  }

  // New content under a hidden name, renamed into place.
  void replace(const std::string& note) {
    const std::string temp =
        fs::path(note).parent_path().string() + "/.replacing";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      return;
    }
    std::string content;
    for (unsigned n = random_() % 20; n > 0; --n) {
      content += random_line();
    }
    (void)!::write(fd, content.data(), content.size());
    ::close(fd);
    if (::rename(temp.c_str(), note.c_str()) != 0) {
      (void)::unlink(temp.c_str());
    }
  }

  void remove(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);  // links are removed, not followed
  }

  std::string vault_;
  std::mt19937 random_;
  int steps_ = 0;
  const std::vector<std::string> notes_ = note_names();
  const std::vector<std::string> needles_ = known_lines(true);
  const std::vector<std::string> plain_ = known_lines(false);
};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Whether `text` was in a note at some moment: one of the needle lines, or
// the start of one (an append that crosses a page boundary can be seen
// half done).
bool was_in_a_note(const std::string& text) {
  for (const std::string& line : known_lines(true)) {
    if (line.starts_with(text)) {
      return true;
    }
  }
  return false;
}

// Checks one search answer; returns how many files it reported.
int check_answer(const std::string& line, const std::string& query) {
  const auto parsed = json::parse(line);
  if (!parsed) {
    ADD_FAILURE() << "not JSON: " << line;
    return 0;
  }
  const json::Value* result = parsed->find("result");
  const json::Value* content = result ? result->find("content") : nullptr;
  const json::Value* is_error = result ? result->find("isError") : nullptr;
  if (content == nullptr || content->as_array() == nullptr ||
      content->as_array()->size() != 1 || is_error == nullptr ||
      *is_error != json::Value(false)) {
    ADD_FAILURE() << "not a successful tool result: " << line;
    return 0;
  }
  const json::Value* text_value = (*content->as_array())[0].find("text");
  const std::string text =
      text_value && text_value->as_string() ? *text_value->as_string() : "";
  if (text == "No matches for \"" + query + "\".") {
    return 0;
  }
  const std::vector<std::string> lines = split_lines(text);
  const std::string header = " file match(es) for \"" + query + "\":";
  int count = 0;
  if (lines.size() < 3 || !lines[1].empty() ||
      std::sscanf(lines[0].c_str(), "%d", &count) != 1 ||
      lines[0] != std::to_string(count) + header ||
      static_cast<std::size_t>(count) != lines.size() - 2 || count > 50) {
    ADD_FAILURE() << "not a search answer: " << text;
    return 0;
  }
  std::string previous;
  for (std::size_t k = 2; k < lines.size(); ++k) {
    // "<path>:<number>: <line>"; the churn's paths hold no colon.
    const std::string& match = lines[k];
    const std::size_t colon = match.find(':');
    const std::size_t space = match.find(": ", colon + 1);
    if (colon == std::string::npos || space == std::string::npos) {
      ADD_FAILURE() << "not a match line: " << match;
      continue;
    }
    const std::string path = match.substr(0, colon);
    const std::string reported = match.substr(space + 2);
    EXPECT_TRUE(path.ends_with(".md")) << match;
    for (const std::string_view part : split_path(path)) {
      EXPECT_FALSE(part.starts_with(".")) << "hidden: " << match;
    }
    EXPECT_TRUE(was_in_a_note(reported)) << "never written: " << match;
    EXPECT_NE(lower(reported).find(lower(query)), std::string::npos)
        << "does not match: " << match;
    EXPECT_FALSE(path_less(path, previous)) << "out of path order: " << match;
    previous = path;
  }
  return count;
}

TEST(SearchUnderChurn, NeverCrashesHangsOrReportsALineNeverWritten) {
  VESTIGOR_SKIP_UNDER_WINE(
      "each server start under Wine is too slow for the searches this test "
      "counts on");
  constexpr auto kRunFor = seconds(3);
  constexpr int kMaxSearches = 50000;
  // A failing run names its seed; VESTIGOR_CHURN_SEED replays its churn
  // (the interleaving with the searches is the machine's).
  const char* replay = std::getenv("VESTIGOR_CHURN_SEED");
  const unsigned seed =
      replay ? static_cast<unsigned>(std::strtoul(replay, nullptr, 10))
             : static_cast<unsigned>(std::random_device{}());
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));

  TempVault v;
  Churn churn(v.path(), seed);
  for (int i = 0; i < 200; ++i) {
    churn.step();
  }
  LiveServer server(in_vault(v.path()));
  ASSERT_TRUE(server.started());

  std::atomic<bool> stop{false};
  int steps = 0;
  std::thread writer([&] {
    // Bounded twice over: by the flag, and by a count no run reaches.
    for (int i = 0; i < 50'000'000 && !stop.load(); ++i) {
      churn.step();
    }
    steps = churn.steps();
  });

  const std::vector<std::string> queries = {"needle", "NEEDLE 1", "Ok"};
  int searches = 0;
  int with_matches = 0;
  const auto until = Clock::now() + kRunFor;
  while (searches < kMaxSearches && Clock::now() < until) {
    const std::string& query = queries[searches % queries.size()];
    ASSERT_TRUE(server.send(
        tool_call_line(searches, "search", "{\"query\":\"" + query + "\"}") +
        "\n"));
    const auto answer = server.read_line(seconds(10));
    if (!answer) {
      stop = true;
      writer.join();
      FAIL() << "no answer to search " << searches << " within 10 s; "
             << "stderr: " << server.err().substr(0, 2000);
    }
    with_matches += check_answer(*answer, query) > 0 ? 1 : 0;
    ++searches;
  }
  stop = true;
  writer.join();
  server.close_input();
  EXPECT_EQ(server.wait_exit(seconds(10)), 0);
  EXPECT_EQ(server.err().find("stdin error"), std::string::npos);

  // The run meant something: the vault changed all along and the searches
  // found notes in it.
  RecordProperty("searches", searches);
  RecordProperty("churn_steps", steps);
  RecordProperty("searches_with_matches", with_matches);
  EXPECT_GE(searches, 50);
  EXPECT_GE(steps, 1000);
  EXPECT_GE(with_matches, searches / 10);
}

}  // namespace
}  // namespace vestigor_mcp::testing
