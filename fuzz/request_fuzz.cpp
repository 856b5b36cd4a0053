// Fuzzes the whole request path as the server's loop drives it: the input
// is split into lines by the loop's own line reader, each line must be valid
// UTF-8 (the loop stops at the first that is not), and goes through
// handle_line against a real vault on disk. Every answered line must be
// one compact JSON object: the JSON-RPC envelope with the request's id and
// exactly one of "result" and "error"; a "tools/call" result is always a
// tool result. Crashes, sanitizer reports and hangs (-timeout) are
// findings too.
//
// The vault is made once at start-up and holds the awkward things a real
// one may hold: notes in both snapshot places, hidden folders, a note that
// is not UTF-8, a directory and a FIFO named like notes, a symbolic link
// loop. append_daily_log writes into it; the daily folder is removed after
// every input, so each input meets the same vault (reproducible findings)
// and the vault cannot grow however long the fuzzer runs.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "protocol/json.hpp"
#include "protocol/line_reader.hpp"
#include "protocol/request.hpp"
#include "util/unicode.hpp"

namespace {

namespace fs = std::filesystem;
using vestigor_mcp::json::Value;

std::string g_vault;

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "request_fuzz: %s: %.*s\n", what,
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

void put(const std::string& relative, std::string_view content) {
  const fs::path path = fs::path(g_vault) / relative;
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) {
    fail("cannot write vault file", path.string());
  }
}

void remove_vault() {
  std::error_code ec;
  fs::remove_all(g_vault, ec);
}

void make_vault() {
  std::string pattern =
      (fs::temp_directory_path() / "vestigor-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    fail("mkdtemp failed", pattern);
  }
  g_vault = pattern;
  put("current-state.md", "# Now\n\n- fuzzing the request path\n");
  put("agents/memory/current-state.md", "shadowed by the vault's own copy\n");
  put("agents/memory/open-threads.md", "- [ ] alpha\r\n- [ ] Beta\r\n");
  put("notes/alpha.md", "first line\n\n  Alpha ALPHA alpha  \r\n");
  put("notes/Greek.md", "ΟΔΥΣΣΕΥΣ\nİstanbul\n\xc2\xa0 spaced \xe3\x80\x80\n");
  put("notes/no-newline.md", "alpha at the end\r");
  put("notes/UPPER.MD", "alpha but not markdown by name\n");
  put(".hidden/alpha.md", "alpha in a hidden folder\n");
  put("bad-utf8.md", "alpha \xff\xfe\n");
  put("empty.md", "");
  std::error_code ec;
  fs::create_directories(fs::path(g_vault) / "folder.md", ec);
  const std::string fifo = g_vault + "/notes/pipe.md";
  const std::string loop = g_vault + "/notes/loop";
  if (::mkfifo(fifo.c_str(), 0600) != 0 || ::symlink("..", loop.c_str()) != 0) {
    fail("cannot make fifo or link", g_vault);
  }
  ::setenv("VESTIGOR_VAULT", g_vault.c_str(), 1);
  ::setenv("TZ", "UTC", 1);
  std::atexit(remove_vault);
}

void ignore_diagnostic(std::string_view) {}

bool is_string(const Value* v, std::string_view expected) {
  const std::string* s = v == nullptr ? nullptr : v->as_string();
  return s != nullptr && *s == expected;
}

// A tool result: {"content":[{"text":"...","type":"text"}],"isError":bool}.
bool is_tool_result(const Value& result) {
  const Value* content = result.find("content");
  const Value* is_error = result.find("isError");
  if (result.as_object()->size() != 2 || content == nullptr ||
      is_error == nullptr || is_error->as_bool() == nullptr ||
      content->as_array() == nullptr || content->as_array()->size() != 1) {
    return false;
  }
  const Value& item = content->as_array()->front();
  const Value* text = item.find("text");
  return item.is_object() && item.as_object()->size() == 2 && text != nullptr &&
         text->as_string() != nullptr && is_string(item.find("type"), "text");
}

void check_response(std::string_view line, const std::string& response) {
  if (response.find('\n') != std::string::npos) {
    fail("response spans lines", response);
  }
  auto parsed = vestigor_mcp::json::parse(response);
  if (!parsed || !parsed->is_object()) {
    fail("response is not one JSON object", response);
  }
  if (vestigor_mcp::json::write(*parsed) != response) {
    fail("response is not compact canonical JSON", response);
  }
  auto request = vestigor_mcp::json::parse(line);
  if (!request) {
    fail("answered a line that does not parse", line);
  }
  const Value* id = parsed->find("id");
  const Value* request_id = request->find("id");
  if (id == nullptr || request_id == nullptr || !(*id == *request_id)) {
    fail("response id differs from the request's", response);
  }
  const Value* result = parsed->find("result");
  const Value* error = parsed->find("error");
  if (parsed->as_object()->size() != 3 ||
      !is_string(parsed->find("jsonrpc"), "2.0") ||
      (result == nullptr) == (error == nullptr)) {
    fail("response envelope malformed", response);
  }
  if (is_string(request->find("method"), "tools/call") &&
      (result == nullptr || !result->is_object() || !is_tool_result(*result))) {
    fail("tools/call did not answer with a tool result", response);
  }
}

bool serve_line(std::string_view line) {
  if (!vestigor_mcp::is_valid_utf8(line)) {
    return false;  // the loop ends here, as on a read failure
  }
  if (auto response = vestigor_mcp::handle_line(line, ignore_diagnostic)) {
    check_response(line, *response);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_vault();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // The input reaches the line reader through a descriptor, as stdin does.
  const int fd = ::memfd_create("request_fuzz", MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size) ||
      ::lseek(fd, 0, SEEK_SET) != 0) {
    fail("cannot stage the input", "memfd");
  }
  vestigor_mcp::LineReader reader(fd);
  for (;;) {
    const auto line = reader.next();
    if (!line || !*line || !serve_line(**line)) {
      break;
    }
  }
  ::close(fd);
  std::error_code ec;
  fs::remove_all(fs::path(g_vault) / "daily", ec);
  return 0;
}
