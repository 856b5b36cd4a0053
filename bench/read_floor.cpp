// read_floor: the floor under a full-vault search, as a process: walks the
// vault as the search does and reads every note with the search's reader,
// matching nothing.
//
//   read_floor VAULT
//
// Prints the number of notes and bytes read.
#include <cstdio>

#include "search/walk.hpp"
#include "util/buffer.hpp"
#include "util/fs.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: read_floor VAULT\n");
    return 2;
  }
  std::size_t notes = 0;
  std::size_t bytes = 0;
  vestigor_mcp::Buffer note;
  vestigor_mcp::NoteWalk walk(argv[1]);
  vestigor_mcp::os::Result<bool> more;
  while ((more = walk.next()) && *more) {
    if (const auto text =
            vestigor_mcp::read_regular_file(walk.folder(), walk.name(), note)) {
      ++notes;
      bytes += text->size();
    }
  }
  if (!more) {
    std::fprintf(stderr, "read_floor: out of descriptors\n");
    return 1;
  }
  std::printf("%zu notes, %zu bytes\n", notes, bytes);
  return 0;
}
