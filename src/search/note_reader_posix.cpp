// The note reader on systems without io_uring: one note at a time.
#include "search/note_reader.hpp"
#include "search/note_reader_sync.hpp"

namespace vestigor_mcp {

struct NoteReader::Impl {
  explicit Impl(std::size_t piece_bytes) : notes(1, piece_bytes, nullptr) {}
  SyncNotes notes;
};

NoteReader::NoteReader(ReadWay /*preferred*/, std::size_t piece_bytes,
                       std::size_t /*ring_after*/)
    : impl_(std::make_unique<Impl>(piece_bytes)) {}

NoteReader::~NoteReader() = default;

bool NoteReader::has_room() { return impl_->notes.has_room(); }
std::expected<void, int> NoteReader::add(const NoteWalk& walk) {
  return impl_->notes.add(walk);
}
bool NoteReader::empty() const { return impl_->notes.empty(); }
std::string_view NoteReader::path() const { return impl_->notes.path(); }
std::expected<NotePiece, int> NoteReader::next_piece() {
  return impl_->notes.next_piece();
}
void NoteReader::drop() { impl_->notes.drop(); }

}  // namespace vestigor_mcp
