// The note reader on systems without io_uring: one note at a time.
#include "search/note_reader.hpp"
#include "search/note_reader_sync.hpp"

namespace vestigor_mcp {

std::unique_ptr<NoteReader> make_note_reader(const ReaderKnobs& knobs) {
  return std::make_unique<SyncNotes>(1, knobs.piece_bytes, nullptr);
}

}  // namespace vestigor_mcp
