#include "tools/tool_call.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/catalog.hpp"
#include "protocol/unicode.hpp"
#include "tools/daily_log.hpp"
#include "tools/search.hpp"
#include "tools/snapshots.hpp"

namespace vestigor_mcp {

namespace {

json::Value tool_result(const ToolOutcome& outcome) {
  json::Value item = json::Value::object();
  item.insert("type", "text");
  item.insert("text", outcome ? *outcome : "Error: " + outcome.error());
  json::Value content = json::Value::array();
  content.push_back(std::move(item));
  json::Value result = json::Value::object();
  result.insert("content", std::move(content));
  result.insert("isError", !outcome.has_value());
  return result;
}

ToolOutcome run_tool(std::string_view name, const json::Value& arguments) {
  if (name == kGetCurrentState) {
    return get_current_state();
  }
  if (name == kListOpenThreads) {
    return list_open_threads();
  }
  if (name == kSearch) {
    return search(arguments);
  }
  if (name == kAppendDailyLog) {
    return append_daily_log(arguments);
  }
  return std::unexpected("unknown tool: " + std::string(name));
}

// Path components as a path comparison sees them: empty ones (repeated or
// trailing separators) dropped, "." kept only at the very start, a leading
// "/" kept as a root component.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  if (!path.empty() && path.front() == '/') {
    out.push_back(path.substr(0, 1));
  }
  std::size_t i = 0;
  while (i < path.size()) {
    const std::size_t slash = std::min(path.find('/', i), path.size());
    std::string_view part = path.substr(i, slash - i);
    if (!part.empty() && (part != "." || (i == 0 && out.empty()))) {
      out.push_back(part);
    }
    i = slash + 1;
  }
  return out;
}

}  // namespace

DispatchResult tools_call(const json::Value& request) {
  static const json::Value kEmptyObject = json::Value::object();
  const json::Value* params = request.find("params");
  std::string_view name;
  const json::Value* arguments = &kEmptyObject;
  if (params != nullptr) {
    if (const json::Value* n = params->find("name")) {
      if (const std::string* s = n->as_string()) {
        name = *s;
      }
    }
    if (const json::Value* a = params->find("arguments")) {
      arguments = a;
    }
  }
  return tool_result(run_tool(name, *arguments));
}

std::expected<std::string, std::string> vault_root() {
  const char* value = std::getenv("VESTIGOR_VAULT");
  if (value == nullptr || !is_valid_utf8(value)) {
    return std::unexpected(std::string(kVaultNotSet));
  }
  return std::string(value);
}

std::string string_argument(const json::Value& arguments, std::string_view key) {
  if (const json::Value* v = arguments.find(key)) {
    if (const std::string* s = v->as_string()) {
      return *s;
    }
  }
  return {};
}

std::string join_path(std::string_view base, std::string_view relative) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') {
    out += '/';
  }
  out += relative;
  return out;
}

std::string display_path(std::string_view path, std::string_view vault) {
  const std::vector<std::string_view> prefix = components(vault);
  const std::vector<std::string_view> parts = components(path);
  std::string shown;
  if (parts.size() >= prefix.size() &&
      std::equal(prefix.begin(), prefix.end(), parts.begin())) {
    for (std::size_t i = prefix.size(); i < parts.size(); ++i) {
      if (i > prefix.size()) {
        shown += '/';
      }
      shown += parts[i];
    }
  } else {
    shown = path;
  }
  shown = to_valid_utf8(shown);
  std::replace(shown.begin(), shown.end(), '\\', '/');
  return shown;
}

bool NoteReader::read(const std::string& path) {
  size_ = 0;
  // O_NONBLOCK: should the name lead to a FIFO after all, opening it must
  // not wait for a writer; fstat then turns it away.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    // Room for one byte more than fstat saw, so that a note read whole
    // takes one read and one more that meets the end; a growing note is
    // read to wherever its end is.
    reserve(static_cast<std::size_t>(st.st_size) + 1);
    for (;;) {
      if (size_ == capacity_) {
        reserve(capacity_ * 2);
      }
      const ssize_t n = ::read(fd, data_.get() + size_, capacity_ - size_);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      size_ += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  if (!ok) {
    size_ = 0;
  }
  return ok;
}

void NoteReader::reserve(std::size_t capacity) {
  if (capacity > capacity_) {
    std::unique_ptr<char[]> bigger(new char[capacity]);  // not zeroed
    if (size_ > 0) {
      std::memcpy(bigger.get(), data_.get(), size_);
    }
    data_ = std::move(bigger);
    capacity_ = capacity;
  }
}

}  // namespace vestigor_mcp
