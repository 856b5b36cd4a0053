// What the server's surroundings do to it, on the real binary: a full
// disk, a file size limit, too little memory for a line, file systems
// without hard links (strace's fault injection) and hosts that stop it
// with signals. None of them may leave a torn or headless note, a hidden
// file, or a dead server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/daily_note_check.hpp"
#include "support/files.hpp"
#include "support/live_server.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Whether `content` is `before` and one entry line for `text`.
bool has_one_more_entry(const std::string& content, const std::string& before,
                        const std::string& text) {
  static const std::regex stamp("- [0-2][0-9]:[0-5][0-9] ");
  const std::string line =
      content.substr(std::min(before.size(), content.size()));
  return content.starts_with(before) && line.size() == 9 + text.size() &&
         std::regex_search(line.substr(0, 8), stamp) &&
         line.ends_with(" " + text + "\n");
}

// A vault on a fresh 64 KiB tmpfs, unmounted at the end.
class SmallDisk {
 public:
  SmallDisk() {
    vault_.mkdir("disk");
    if (::mount("tmpfs", vault_.at("disk").c_str(), "tmpfs", 0, "size=64k") !=
        0) {
      error_ = std::strerror(errno);
    }
  }
  ~SmallDisk() {
    if (error_.empty()) {
      (void)::umount2(vault_.at("disk").c_str(), MNT_DETACH);
    }
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  const std::string& error() const { return error_; }
  std::string at(std::string_view relative) const {
    return vault_.at("disk/" + std::string(relative));
  }

 private:
  TempVault vault_;
  std::string error_;
};

// Fills the file system holding `path` with the file `path`.
void fill(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  const std::string block(4096, 'F');
  for (int i = 0;
       i < 64 &&
       out.write(block.data(), static_cast<std::streamsize>(block.size()));
       ++i) {
  }
}

// The note of a person (with or without a final line feed) on a disk
// that fills up during a 6,000-byte entry: the failure leaves the note as
// it was, and once there is room again the next entry follows it exactly
// as it would have.
TEST(Limits, AppendThatFillsTheDiskLeavesTheNoteAsItWas) {
  VESTIGOR_SKIP_UNDER_WINE(
      "exact error texts: Wine reports the full disk as a Windows error");
  for (const std::string before :
       {"# mine\n\n- 08:00 kept\n", "# mine\n\n- 08:00 no line feed"}) {
    SCOPED_TRACE(before);
    SmallDisk disk;
    if (!disk.error().empty()) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << disk.error()
                   << "): needs root with CAP_SYS_ADMIN";
    }
    fs::create_directories(disk.at("vault/daily"));
    for (const std::string& date : likely_dates("UTC")) {
      std::ofstream(disk.at("vault/daily/" + date + ".md")) << before;
    }
    fill(disk.at("filler"));
    const RunOptions options = in_vault(disk.at("vault"));
    RunResult r =
        run_server(append_call_input(1, std::string(6000, 'E')), options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out_lines(), Lines{tool_error_line(
                                 1, "No space left on device (os error 28)")});
    ASSERT_EQ(::unlink(disk.at("filler").c_str()), 0);
    r = run_server(append_call_input(2, "after"), options);
    ASSERT_EQ(r.out_lines().size(), 1u) << r.err;
    for (const auto& [name, content] : read_folder(disk.at("vault/daily"))) {
      EXPECT_TRUE(has_one_more_entry(content, before, "after")) << content;
    }
  }
}

bool limit_file_size() {
  const rlimit limit{4096, 4096};  // ulimit -f 4
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

// Past the file size limit a write fails with EFBIG instead of the
// process dying of SIGXFSZ: the entry is undone and serving goes on.
TEST(Limits, FileSizeLimitFailsTheAppendCleanlyAndServingGoesOn) {
  VESTIGOR_SKIP_UNDER_WINE(
      "file size limits: Wine itself dies of SIGXFSZ, and Windows has no such "
      "limit");
  TempVault v;
  const std::string before = "# mine\n\n- 08:00 kept\n";
  for (const std::string& date : likely_dates("UTC")) {
    v.write("daily/" + date + ".md", before);
  }
  RunOptions options = in_vault(v.path());
  options.before_exec = limit_file_size;
  const RunResult r =
      run_server(append_call_input(1, std::string(9000, 'E')) + ping_line() +
                     "\n" + append_call_input(2, "after"),
                 options);
  EXPECT_EQ(r.exit_code, 0);
  const Lines answers = r.out_lines();
  ASSERT_EQ(answers.size(), 3u) << r.err;
  EXPECT_EQ(answers[0], tool_error_line(1, "File too large (os error 27)"));
  EXPECT_EQ(answers[1], ping_result_line());
  for (const auto& [name, content] : read_folder(v.at("daily"))) {
    EXPECT_TRUE(has_one_more_entry(content, before, "after")) << content;
  }
}

// Another program that holds the note's lock and never lets go (a sync
// tool, a script under flock) delays an append by at most a moment: the
// entry goes in without the lock, and the answer comes.
TEST(Limits, NoteLockedByAnotherProgramDoesNotHoldTheAppend) {
  TempVault v;
  const std::string before = "# mine\n\n- 08:00 kept\n";
  std::vector<int> held;
  for (const std::string& date : likely_dates("UTC")) {
    v.write("daily/" + date + ".md", before);
    const int fd =
        ::open(v.at("daily/" + date + ".md").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    held.push_back(fd);
  }
  RunOptions options = in_vault(v.path());
  options.timeout = seconds(30);
  const RunResult r = run_server(append_call_input(1, "locked out"), options);
  for (const int fd : held) {
    ::close(fd);
  }
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_EQ(r.out_lines().size(), 1u) << r.err;
  EXPECT_TRUE(r.out_lines()[0].find("Appended to daily/") != std::string::npos)
      << r.out_lines()[0];
  std::size_t grown = 0;
  for (const auto& [name, content] : read_folder(v.at("daily"))) {
    grown += has_one_more_entry(content, before, "locked out") ? 1 : 0;
  }
  EXPECT_EQ(grown, 1u);
}

[[maybe_unused]] bool limit_address_space() {
  const rlimit limit{256u << 20, 256u << 20};  // ulimit -v 262144
  return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

// A line that memory cannot hold, or whose request cannot be built, is
// dropped with one diagnostic; the ping after it is answered.
TEST(Limits, LineTooBigForMemoryIsDroppedAndTheNextIsServed) {
  VESTIGOR_SKIP_UNDER_WINE(
      "address-space limits: Wine cannot start within them");
  VESTIGOR_SKIP_UNDER_EMULATOR(
      "an address-space limit binds qemu, which maps the guest's memory "
      "itself, not the server");
  struct Row {
    const char* name;
    std::string line;
    bool needs_operator_new_to_fail;
  };
  std::string values = "{\"id\":1,\"method\":\"ping\",\"params\":[";
  for (int i = 0; i < 15'000'000; ++i) {
    values += "0,";
  }
  values += "0]}";
  const Row rows[] = {
      {"300 MB line", std::string(300u << 20, 'a'), false},
      {"15 million values", std::move(values), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer reserves far more address space than any limit would
    // let through; it caps single allocations instead, and reports rather
    // than throws a failed operator new.
    if (row.needs_operator_new_to_fail) {
      continue;
    }
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") +
                                                 ":allocator_may_return_null=1"
                                                 ":max_allocation_size_mb=200");
#else
    (void)row.needs_operator_new_to_fail;
    options.before_exec = limit_address_space;
#endif
    const RunResult r =
        run_server(row.line + "\n" + ping_line("2") + "\n", options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out_lines(), Lines{ping_result_line("2")});
    Lines diagnostics = r.err_lines();  // the sanitizer's own lines aside
    std::erase_if(diagnostics,
                  [](const std::string& l) { return l.starts_with("=="); });
    EXPECT_EQ(diagnostics,
              (Lines{"[vestigor-mcp] starting on stdio",
                     "[vestigor-mcp] line dropped: Cannot allocate memory "
                     "(os error 12)",
                     "[vestigor-mcp] -> ping"}));
  }
}

// strace, when it is installed and may trace the server here (under Wine
// it would reach Wine's calls, not the program's).
std::optional<std::string> usable_strace() {
  if (kServerUnderWine) {
    return std::nullopt;
  }
  for (const char* path : {"/usr/bin/strace", "/bin/strace"}) {
    if (::access(path, X_OK) == 0 &&
        std::system((std::string(path) + " -o /dev/null true").c_str()) == 0) {
      return path;
    }
  }
  return std::nullopt;
}

// Options that run the server for `vault` under `strace` with `args`. A
// sanitized server's leak check cannot run under a tracer and would end
// it with status 1; it is turned off there.
RunOptions traced(const std::string& strace, const std::string& vault,
                  std::vector<std::string> args) {
  RunOptions options = in_vault(vault);
  options.wrapper = {strace, "-qq", "-o", "/dev/null"};
  options.wrapper.insert(options.wrapper.end(), args.begin(), args.end());
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.env.emplace_back("ASAN_OPTIONS",
                           std::string(asan ? asan : "") + ":detect_leaks=0");
  return options;
}

// Where hard links are refused, the first entry of a day still makes a
// note with its heading on top, or nothing at all: a failed write leaves
// neither the hidden file nor an empty note. Write 1 and 2 are the
// "starting" and "-> tools/call" diagnostics; 3 writes the hidden file
// and 4, where renaming fails as well, the note in place.
TEST(Limits, WithoutHardLinksAFailedFirstEntryLeavesNoNote) {
  VESTIGOR_SKIP_UNDER_EMULATOR(
      "strace would trace qemu's system calls, not the server's");
  const std::optional<std::string> strace = usable_strace();
  if (!strace) {
    GTEST_SKIP() << "strace is missing, may not trace here or runs Wine";
  }
  struct Row {
    const char* name;
    std::vector<std::string> injections;
    bool first_fails;
  };
  const std::string no_links = "inject=link:error=EPERM";
  const std::string no_rename = "inject=renameat2:error=EINVAL";
  const Row rows[] = {
      {"renamed into place", {no_links}, false},
      {"hidden file fails", {no_links, "inject=write:error=EIO:when=3"}, true},
      {"made in place, fails",
       {no_links, no_rename, "inject=write:error=EIO:when=4"},
       true},
      {"made in place", {no_links, no_rename}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempVault v;
    std::vector<std::string> args;
    for (const std::string& injection : row.injections) {
      args.insert(args.end(), {"-e", injection});
    }
    const RunOptions options = traced(*strace, v.path(), args);
    const RunResult r = run_server(
        append_call_input(1, "first") + append_call_input(2, "second"),
        options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const Lines answers = r.out_lines();
    ASSERT_EQ(answers.size(), 2u) << r.err;
    if (row.first_fails) {
      EXPECT_EQ(answers[0],
                tool_error_line(1, "Input/output error (os error 5)"));
    }
    const FolderFiles notes = read_folder(v.at("daily"));
    ASSERT_EQ(notes.size(), 1u) << "one note, nothing hidden beside it";
    const auto& [name, content] = *notes.begin();
    const std::string heading = "# " + name.substr(0, 10) + "\n\n";
    if (row.first_fails) {
      EXPECT_TRUE(has_one_more_entry(content, heading, "second")) << content;
    } else {
      const std::string first = content.substr(0, heading.size() + 14);
      EXPECT_TRUE(has_one_more_entry(first, heading, "first")) << content;
      EXPECT_TRUE(has_one_more_entry(content, first, "second")) << content;
    }
  }
}

// Hosts stop servers with SIGINT, SIGTERM or SIGHUP and leave stdin open:
// a server waiting for its next request exits at once, with status 0.
// A stop signal ignored from the start stays ignored.
TEST(Limits, StopSignalEndsAWaitingServerWithStatusZero) {
  VESTIGOR_SKIP_UNDER_WINE(
      "stop signals: Windows has none, hosts close the input");
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    LiveServer server(RunOptions{});
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.send(ping_line() + "\n"));
    ASSERT_EQ(server.read_line(seconds(10)), ping_result_line());
    ASSERT_EQ(::kill(server.pid(), signal), 0);
    EXPECT_EQ(server.wait_exit(seconds(2)), 0) << server.err();
  }
  // Started with SIGHUP ignored (nohup), the server keeps ignoring it.
  RunOptions nohup;
  nohup.before_exec = [] { return ::signal(SIGHUP, SIG_IGN) != SIG_ERR; };
  LiveServer server(nohup);
  ASSERT_TRUE(server.wait_for_stderr("starting on stdio", seconds(10)));
  ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
  ASSERT_TRUE(server.send(ping_line() + "\n"));
  EXPECT_EQ(server.read_line(seconds(10)), ping_result_line());
  ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.wait_exit(seconds(2)), 0) << server.err();
}

// The process strace runs, found through /proc (once strace has started
// it: before, the children are strace's probes of the system).
std::optional<pid_t> traced_child(pid_t tracer) {
  const std::string children = "/proc/" + std::to_string(tracer) + "/task/" +
                               std::to_string(tracer) + "/children";
  for (int i = 0; i < 500; ++i) {
    pid_t child = 0;
    if (std::ifstream(children) >> child) {
      return child;
    }
    ::usleep(10'000);
  }
  return std::nullopt;
}

// SIGTERM during an append (held up in its sync by strace) lets the
// append finish with its sync, then the server exits 0 at once, without
// the answer: the host has asked it to stop. No hidden file is left
// beside the note.
TEST(Limits, StopSignalDuringAnAppendLetsTheEntryFinish) {
  VESTIGOR_SKIP_UNDER_WINE(
      "stop signals: Windows has none, hosts close the input");
  const std::optional<std::string> strace = usable_strace();
  if (!strace) {
    GTEST_SKIP() << "strace is missing or may not trace here";
  }
  TempVault v;
  const RunOptions options =
      traced(*strace, v.path(), {"-e", "inject=fdatasync:delay_enter=700000"});
  LiveServer server(options);
  // Once the server speaks, strace's own probing children are gone.
  ASSERT_TRUE(server.wait_for_stderr("starting on stdio", seconds(10)));
  const std::optional<pid_t> child = traced_child(server.pid());
  ASSERT_TRUE(child.has_value());
  ASSERT_TRUE(server.send(append_call_input(1, "finished")));
  ASSERT_TRUE(server.wait_for_stderr("-> tools/call", seconds(10)));
  ::usleep(300'000);  // into the first sync's 700 ms (a stop before the
                      // append starts ends the server with no entry)
  ASSERT_EQ(::kill(*child, SIGTERM), 0)
      << *child << " " << std::strerror(errno);
  EXPECT_EQ(server.wait_exit(seconds(10)), 0) << server.err();
  EXPECT_EQ(server.take_out(), "");
  const FolderFiles notes = read_folder(v.at("daily"));
  ASSERT_EQ(notes.size(), 1u);
  const auto& [name, content] = *notes.begin();
  EXPECT_TRUE(has_one_more_entry(content, "# " + name.substr(0, 10) + "\n\n",
                                 "finished"))
      << content;
}

// An entry is 6,000 bytes, the note 8,000 and the file size limit 11,000:
// the kernel takes 3,000 bytes of the entry's write, and strace kills the
// server as it makes the next write to the note. The next server's
// append cuts the torn part off instead of gluing its entry onto it, and
// leaves no hidden file.
constexpr std::size_t kTornBefore = 8000;
bool limit_file_size_to_tear() {
  const rlimit limit{kTornBefore + 3000, kTornBefore + 3000};
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

TEST(Limits, ServerKilledInsideAnEntryLeavesNothingTheNextAppendGluesOnto) {
  const std::optional<std::string> strace = usable_strace();
  if (!strace) {
    GTEST_SKIP() << "strace is missing, may not trace here or runs Wine";
  }
  TempVault v;
  const std::string before =
      "# mine\n\n" + std::string(kTornBefore - 9, 'k') + "\n";
  std::vector<std::string> args;
  for (const std::string& date : likely_dates("UTC")) {
    v.write("daily/" + date + ".md", before);
    args.insert(args.end(), {"-P", v.at("daily/" + date + ".md")});
  }
  args.insert(args.end(), {"-e", "inject=write:signal=SIGKILL:when=2"});
  RunOptions killed = traced(*strace, v.path(), args);
  killed.before_exec = limit_file_size_to_tear;
  RunResult r =
      run_server(append_call_input(1, std::string(6000, 'E')), killed);
  ASSERT_EQ(r.out, "") << r.err;
  std::size_t torn = 0;
  for (const auto& [name, content] : read_folder(v.at("daily"))) {
    torn += content.size() == kTornBefore + 3000 ? 1 : 0;
  }
  ASSERT_EQ(torn, 1u) << "the kill did not tear the entry";

  r = run_server(append_call_input(2, "after"), in_vault(v.path()));
  ASSERT_EQ(r.out_lines().size(), 1u) << r.err;
  for (const auto& [name, content] : read_folder(v.at("daily"))) {
    EXPECT_FALSE(name.starts_with(".")) << name;
    EXPECT_TRUE(content == before ||
                has_one_more_entry(content, before, "after"))
        << name << ": "
        << content.substr(std::min(content.size(), before.size()), 80);
  }
}

// Another program holds the note's lock for longer than appenders wait,
// and the 64 KiB disk fills during a 100,000-byte entry written without
// the lock: the failure leaves the note as it was (the size says that
// only the entry's bytes are past it), and the next entry follows it.
TEST(Limits, DiskFullWhileAnotherProgramHoldsTheLockLeavesTheNoteAsItWas) {
  VESTIGOR_SKIP_UNDER_WINE(
      "exact error texts: Wine reports the full disk as a Windows error");
  SmallDisk disk;
  if (!disk.error().empty()) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << disk.error()
                 << "): needs root with CAP_SYS_ADMIN";
  }
  const std::string before = "# mine\n\n- 08:00 kept\n";
  fs::create_directories(disk.at("vault/daily"));
  std::vector<int> held;
  for (const std::string& date : likely_dates("UTC")) {
    const std::string note = disk.at("vault/daily/" + date + ".md");
    std::ofstream(note) << before;
    const int fd = ::open(note.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    held.push_back(fd);
  }
  RunOptions options = in_vault(disk.at("vault"));
  options.timeout = seconds(30);
  RunResult r =
      run_server(append_call_input(1, std::string(100'000, 'E')), options);
  for (const int fd : held) {
    ::close(fd);
  }
  EXPECT_EQ(r.out_lines(),
            Lines{tool_error_line(1, "No space left on device (os error 28)")});
  for (const auto& [name, content] : read_folder(disk.at("vault/daily"))) {
    EXPECT_EQ(content.size(), before.size()) << name;
  }
  r = run_server(append_call_input(2, "after"), options);
  ASSERT_EQ(r.out_lines().size(), 1u) << r.err;
  for (const auto& [name, content] : read_folder(disk.at("vault/daily"))) {
    EXPECT_TRUE(has_one_more_entry(content, before, "after")) << name;
  }
}

}  // namespace
}  // namespace vestigor_mcp::testing
