#include "tools/daily_log.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "tools/vault.hpp"
#include "util/fs.hpp"
#include "util/note_append.hpp"
#include "util/os.hpp"
#include "util/path.hpp"
#include "util/stop_signals.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// The append, stamped `fixed` when given, else by the local clock.
ToolOutcome append_stamped(std::string_view text,
                           const std::optional<os::LocalStamp>& fixed) {
  const std::string_view entry_text = trim_white_space(text);
  if (entry_text.empty()) {
    return std::unexpected(std::string("text is empty"));
  }
  const auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  NoteEntry note;
  note.folder = join_path(*vault, "daily");
  auto made = make_directories(note.folder);
  if (!made) {
    return std::unexpected(os::os_error_text(made.error()));
  }
  note.made_folders = std::move(*made);
  const auto stamp =
      fixed ? os::Result<os::LocalStamp>(*fixed) : os::read_local_clock();
  if (!stamp) {
    return std::unexpected(os::os_error_text(stamp.error()));
  }
  note.name = stamp->date + ".md";

  // A new note's bytes: its heading, then the entry line, which alone is
  // appended to a note that exists.
  std::string new_note = "# " + stamp->date + "\n\n";
  const std::size_t heading_size = new_note.size();
  new_note += "- " + stamp->time + " ";
  new_note += entry_text;
  new_note += '\n';
  note.first = new_note;
  note.entry = std::string_view(new_note).substr(heading_size);

  const StopDeferral whole_entry;  // a stop waits until the note is sound
  if (const auto kept = append_note_entry(os::system_io(), note); !kept) {
    return std::unexpected(os::os_error_text(kept.error()));
  }
  return "Appended to " +
         display_path(join_path(note.folder, note.name), *vault);
}

}  // namespace

ToolOutcome append_daily_log(std::string_view text) {
  return append_stamped(text, std::nullopt);
}

ToolOutcome TEST_append_daily_log(std::string_view text,
                                  const os::LocalStamp& stamp) {
  return append_stamped(text, stamp);
}

}  // namespace vestigor_mcp
