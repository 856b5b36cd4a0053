#include "util/note_append.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <thread>

#include "util/append_undo.hpp"
#include "util/path.hpp"

namespace vestigor_mcp {

namespace {

using os::Errc;
using os::Handle;
using os::Io;
using os::OsError;
using os::Result;

// Appenders hold the lock for one write, microseconds; a lock held much
// longer belongs to another program (a sync tool, a script running
// flock), and the server must not wait on it forever.
constexpr std::chrono::milliseconds kLockPatience{2000};

// Takes the exclusive lock on `file`, waiting for it at most kLockPatience;
// false when it is not had (then the caller goes on without it).
bool lock_exclusive(const Handle& file) {
  const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    const Result<bool> locked = os::try_lock(file);
    if (!locked || *locked) {
      return locked.value_or(false);
    }
    if (std::chrono::steady_clock::now() + pause > deadline) {
      return false;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
}

// Ends what `file`, the note at `path`, holds with a line feed, unless it
// ends so.
void end_with_line_feed(Io& io, const Handle& file, const std::string& path) {
  const auto st = os::status(file);
  const auto reader =
      st && st->size > 0 ? open_to_read(path, st->id) : std::nullopt;
  char last = '\n';
  std::size_t written = 0;
  if (reader &&
      os::read_at(io, *reader, &last, 1, st->size - 1).value_or(0) == 1 &&
      last != '\n' && os::write_all(io, file, "\n", written)) {
    (void)os::sync_data(io, file);
  }
}

// Undoes `written` bytes of a failed append that began when the note held
// `before` bytes (unknown: nullopt). Appends land at the end, so a size
// of `before` plus `written` says these bytes are the only ones past
// `before`: they are cut off. Otherwise someone else wrote too, and they
// are ended with a line feed. Without the lock (`locked` false) it is
// tried once more, so that appenders who take it cannot come between the
// size and the cut.
void undo_append(Io& io, const Handle& file, const std::string& path,
                 std::optional<std::uint64_t> before, std::size_t written,
                 bool locked) {
  if (written == 0) {
    return;  // nothing of this entry reached the file
  }
  const bool took = !locked && os::try_lock(file).value_or(false);
  const auto st = os::status(file);
  if (before && st && st->kind == os::Kind::kRegular &&
      st->size == *before + written && os::truncate(file, *before)) {
    (void)os::sync_data(io, file);
  } else {
    end_with_line_feed(io, file, path);
  }
  if (took) {
    os::unlock(file);
  }
}

// Where the rollback record of appends to the note goes: beside it,
// hidden.
std::string undo_path_of(const NoteEntry& entry) {
  return join_path(entry.folder, "." + entry.name + ".undo");
}

enum class Appended { kDone, kNameLost };

// Appends `bytes`, one whole entry, all or nothing as far as the file
// system allows, and syncs it. Appenders take turns (the lock, held for
// the write and its undo, and for the sync only of an entry with a
// rollback record), so the size read here is the size the write starts
// from unless someone who takes no lock writes too. The next appender
// repairs what a killed one left (append_undo.hpp); an entry that one
// write may not put in whole is recorded first. Without the lock neither
// is done. kNameLost, with nothing written, when the file has lost its
// name (a writer that made it in place took it away again).
Result<Appended> append_entry(Io& io, const Handle& file,
                              const std::string& path,
                              const std::string& undo_path,
                              std::string_view bytes) {
  // TODO(stop signals): hold stop signals from here to the unlock once
  // util/stop_signals.hpp gives a guard for it.
  const bool locked = lock_exclusive(file);
  auto st = os::status(file);
  if (st && st->links == 0) {
    if (locked) {
      os::unlock(file);
    }
    return Appended::kNameLost;
  }
  if (locked && st && roll_back_dead_append(io, file, *st, path, undo_path)) {
    st = os::status(file);
  }
  std::optional<std::uint64_t> before;
  std::optional<UndoRecord> record;
  if (st) {
    before = st->size;
    if (locked && append_may_tear(st->size, bytes.size())) {
      record = UndoRecord::begin(io, undo_path, st->id, st->size, bytes);
    }
  }
  std::size_t written = 0;
  auto done = os::write_all(io, file, bytes, written);
  if (!done) {
    undo_append(io, file, path, before, written, locked);
  } else if (record) {
    done = os::sync_data(io, file);  // before the record goes
  }
  if (record) {
    record->clear();
  }
  if (locked) {
    os::unlock(file);
  }
  if (done && !record) {
    done = os::sync_data(io, file);
  }
  if (!done) {
    return std::unexpected(done.error());
  }
  return Appended::kDone;
}

// Opens `path`, the note of `entry`, and appends `bytes` durably
// (append_entry).
Result<Appended> append_durably(Io& io, const NoteEntry& entry,
                                const std::string& path, os::Create create,
                                std::string_view bytes) {
  const auto file = os::open_append(path.c_str(), create);
  if (!file) {
    return std::unexpected(file.error());
  }
  return append_entry(io, *file, path, undo_path_of(entry), bytes);
}

// Undoes a file that this call created at `path`, open and locked as
// `file`, after writing `written` bytes into it failed: removes it when it
// holds only those bytes, and otherwise treats them as a failed append.
void discard_new_file(Io& io, const Handle& file, const std::string& path,
                      std::size_t written) {
  const auto held = os::status(file);
  const auto named = os::status(os::Folder::by_path(), path.c_str());
  if (held && named && held->size == written && held->id == named->id) {
    (void)os::remove(path.c_str());
    return;
  }
  undo_append(io, file, path, std::nullopt, written, true);
}

// The id of the process that made the hidden file `name` for a note
// like `note` (same length, digits where it has digits, its other
// characters as they are): ".<note>.<pid>.<n>", as create_note names its
// files; nullopt for any other name.
std::optional<std::uint32_t> maker_of(std::string_view name,
                                      std::string_view note) {
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (name.size() < note.size() + 5 || name[0] != '.' ||
      name[note.size() + 1] != '.') {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < note.size(); ++i) {
    const char c = name[i + 1];
    if (is_digit(note[i]) ? !is_digit(c) : c != note[i]) {
      return std::nullopt;
    }
  }
  const std::string_view tag = name.substr(note.size() + 2);
  const std::size_t dot = tag.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == tag.size() ||
      !std::all_of(tag.begin(), tag.begin() + static_cast<long>(dot),
                   is_digit) ||
      !std::all_of(tag.begin() + static_cast<long>(dot) + 1, tag.end(),
                   is_digit)) {
    return std::nullopt;
  }
  std::uint32_t pid = 0;
  const auto [end, error] = std::from_chars(tag.data(), tag.data() + dot, pid);
  if (error != std::errc() || pid == 0) {
    return std::nullopt;
  }
  return pid;
}

// Removes the hidden files that writers killed while making a note like
// this one left in its folder (maker_of), once their makers are gone.
// A living maker's file may be on its way to becoming a note, and every
// other name is left alone.
void remove_dead_makers_files(const NoteEntry& entry) {
  struct Leftovers final : os::EntrySink {
    std::string_view note;
    std::vector<std::string> names;
    void take(std::string_view name, os::EntryType type) override {
      const auto maker =
          type == os::EntryType::kRegular || type == os::EntryType::kUnknown
              ? maker_of(name, note)
              : std::nullopt;
      if (maker && !os::process_alive(*maker)) {
        names.emplace_back(name);
      }
    }
  } leftovers;
  leftovers.note = entry.name;
  const auto folder =
      os::open_folder(os::Folder::by_path(), entry.folder.c_str());
  if (!folder || !os::Lister().list(*folder, leftovers)) {
    return;
  }
  for (const std::string& name : leftovers.names) {
    const std::string path = join_path(entry.folder, name);
    const auto st =
        os::status(os::Folder::by_path(), path.c_str(), os::Links::kNoFollow);
    if (st && st->kind == os::Kind::kRegular) {
      (void)os::remove(path.c_str());
    }
  }
}

enum class Creation { kMade, kNameTaken };

// Makes the note exclusively and writes `content` into it, where hard
// links and no-replace renames are refused. Appenders wait (lock) until
// it holds its heading; should the write fail, the note goes again, so
// no note is ever left without its heading.
Result<Creation> create_in_place(Io& io, const std::string& note,
                                 std::string_view content) {
  const auto file = os::open_append(note.c_str(), os::Create::kNew);
  if (!file) {
    if (file.error().is(Errc::kExists)) {
      return Creation::kNameTaken;
    }
    return std::unexpected(file.error());
  }
  (void)lock_exclusive(*file);
  std::size_t written = 0;
  auto done = os::write_all(io, *file, content, written);
  if (done) {
    done = os::sync_data(io, *file);
  }
  if (!done) {
    discard_new_file(io, *file, note, written);
    return std::unexpected(done.error());
  }
  return Creation::kMade;
}

// Makes the note holding `content` in one step: written and synced under
// a hidden name, then linked to the note's name, which fails when the name
// is taken. A writer that loses the race for the note therefore never
// finds it without its heading, and a crash never leaves it empty. Where
// the file system has no hard links (exFAT, vfat, some network and FUSE
// file systems), the hidden file is renamed to the note's name if the
// system can refuse a taken name, and otherwise the note is made in place.
Result<Creation> create_note(Io& io, const NoteEntry& entry,
                             const std::string& note) {
  remove_dead_makers_files(entry);
  // Hidden, so no search reads it; the tag makes it this call's own, and
  // exclusive creation makes sure of it.
  std::string temporary;
  Result<Handle> file = std::unexpected(OsError::of(Errc::kExists));
  for (int attempt = 0; attempt < 4 && !file; ++attempt) {
    temporary =
        join_path(entry.folder, "." + entry.name + "." + os::unique_tag());
    file = os::open_append(temporary.c_str(), os::Create::kNew);
    if (!file && !file.error().is(Errc::kExists)) {
      break;
    }
  }
  if (!file) {
    return std::unexpected(file.error());
  }
  std::size_t written = 0;
  auto kept = os::write_all(io, *file, entry.first, written);
  if (kept) {
    kept = os::sync_data(io, *file);
  }
  file->close();  // after the sync, closing has nothing to report
  if (!kept) {
    (void)os::remove(temporary.c_str());
    return std::unexpected(kept.error());
  }
  auto linked = os::link(temporary.c_str(), note.c_str());
  if (!linked && !linked.error().is(Errc::kExists)) {
    // No hard links here: a rename that refuses a taken name does as well.
    linked = os::rename_no_replace(temporary.c_str(), note.c_str());
    if (linked) {
      return Creation::kMade;  // the hidden name went with it
    }
  }
  (void)os::remove(temporary.c_str());
  if (linked) {
    return Creation::kMade;
  }
  if (linked.error().is(Errc::kExists)) {
    return Creation::kNameTaken;
  }
  // Neither (or the name cannot be made: then this fails too).
  return create_in_place(io, note, entry.first);
}

// A link in the note's place that leads nowhere: the note is made where
// it points (a link never lends its name to another file, so it cannot be
// made in one step) and starts with the heading, as it always has.
bool is_dangling_link(const std::string& note) {
  const auto link =
      os::status(os::Folder::by_path(), note.c_str(), os::Links::kNoFollow);
  return link && link->kind == os::Kind::kLink &&
         !os::status(os::Folder::by_path(), note.c_str());
}

// Folders that gained a name for the entry and must be synced before the
// entry counts as kept.
struct NewNames {
  bool in_folder = false;  // the note's folder, by this call or a rival
  std::string elsewhere;   // where a note made through a link went
};

enum class Placement { kPlaced, kNameLost };

struct Placed {
  Placement placement = Placement::kPlaced;
  NewNames names;
};

Result<Placed> appended(const Result<Appended>& result, NewNames names) {
  if (!result) {
    return std::unexpected(result.error());
  }
  if (*result == Appended::kNameLost) {
    return Placed{Placement::kNameLost, {}};
  }
  return Placed{Placement::kPlaced, std::move(names)};
}

Result<Placed> create_through_link(Io& io, const NoteEntry& entry,
                                   const std::string& note) {
  const auto kept =
      append_durably(io, entry, note, os::Create::kIfMissing, entry.first);
  if (!kept || *kept == Appended::kNameLost) {
    return appended(kept, {});
  }
  const auto target = os::real_path(note.c_str());
  if (!target) {
    return std::unexpected(target.error());
  }
  return Placed{Placement::kPlaced, {false, parent_directory(*target)}};
}

// Puts the first bytes into a note it makes, or the entry alone into the
// note that is there, durably either way.
Result<Placed> place_entry(Io& io, const NoteEntry& entry,
                           const std::string& note) {
  if (os::status(os::Folder::by_path(), note.c_str())) {
    // There already, even if empty: only the entry goes in.
    return appended(
        append_durably(io, entry, note, os::Create::kNo, entry.entry), {});
  }
  if (is_dangling_link(note)) {
    return create_through_link(io, entry, note);
  }
  const auto created = create_note(io, entry, note);
  if (!created) {
    return std::unexpected(created.error());
  }
  if (*created == Creation::kMade) {
    return Placed{Placement::kPlaced, {true, {}}};
  }
  if (is_dangling_link(note)) {  // put there meanwhile
    return create_through_link(io, entry, note);
  }
  // Another writer made the note since the status, with its heading. Its
  // name may not be on disk yet, and this entry depends on it.
  return appended(append_durably(io, entry, note, os::Create::kNo, entry.entry),
                  {true, {}});
}

}  // namespace

Result<void> append_note_entry(Io& io, const NoteEntry& entry) {
  const std::string note = join_path(entry.folder, entry.name);
  // A note that loses its name under this call (a writer that made it in
  // place failed and took it away again), or whose name or folder is gone
  // by the time it is opened, is looked for afresh.
  const auto lost = [](const Result<Placed>& placed) {
    return placed ? placed->placement == Placement::kNameLost
                  : placed.error().is(Errc::kNotFound);
  };
  auto placed = place_entry(io, entry, note);
  for (int retry = 0; retry < 3 && lost(placed); ++retry) {
    placed = place_entry(io, entry, note);
  }
  if (!placed) {
    return std::unexpected(placed.error());
  }
  if (placed->placement == Placement::kNameLost) {
    return std::unexpected(OsError::of(Errc::kNotFound));
  }
  // The entry's bytes are on disk; then every name leading to them that
  // this call (or a writer it raced) just made.
  std::vector<std::string> folders;
  if (placed->names.in_folder) {
    folders.push_back(entry.folder);
  }
  if (!placed->names.elsewhere.empty()) {
    folders.push_back(placed->names.elsewhere);
  }
  for (auto it = entry.made_folders.rbegin(); it != entry.made_folders.rend();
       ++it) {
    folders.push_back(parent_directory(*it));
  }
  for (const std::string& changed : folders) {
    if (auto kept = os::sync_folder(changed.c_str()); !kept) {
      return std::unexpected(kept.error());
    }
  }
  return {};
}

}  // namespace vestigor_mcp
