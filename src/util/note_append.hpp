// note_append.hpp: the daily note's write protocol, on the OS boundary.
// One entry goes at the end of a note with one append-mode write, so
// concurrent writers never interleave partial lines; a missing note is
// made holding its first bytes (heading and entry) by exactly one writer
// however many race for it: written under a hidden name and linked to the
// note's name, or renamed there without replacing, or, where the file
// system can do neither, made in place while appenders wait on its lock.
// Success means the entry is on disk: the note is synced, and so is every
// folder that gained a name for it. A write that fails part way (disk
// full, file size limit) is undone: the note is cut back to what it held,
// or, where someone who takes no lock appended meanwhile, the part is
// ended with a line feed; a note this call made goes again. Nothing else
// is ever truncated or rewritten.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/os.hpp"

namespace vestigor_mcp {

struct NoteEntry {
  std::string folder;      // the note's folder
  std::string name;        // the note's name in it
  std::string_view first;  // a new note's bytes: heading, then `entry`
  std::string_view entry;  // the bytes appended to a note that exists
  // Folders make_directories made for the note, outermost first.
  std::vector<std::string> made_folders;
};

// Puts `note.entry` into the note, or `note.first` into a note it makes,
// durably. The failure is the first one met (a write that made no
// progress included); after a failed sync the entry may still be in the
// note. Every write, read and sync goes through `io`.
os::Result<void> append_note_entry(os::Io& io, const NoteEntry& note);

}  // namespace vestigor_mcp
