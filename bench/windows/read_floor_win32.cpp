// read_floor_win32: the floor under a full-vault search on Windows, as a
// plain Win32 program that shares no code with the server: lists the vault
// with FindFirstFileExW (basic information, large fetch), skips hidden
// names as the search does, and reads every note with CreateFileW and
// ReadFile in 32 KiB pieces, matching nothing.
//
//   read_floor_win32.exe VAULT
//
// Prints the number of notes and bytes read. Built by
// bench/wine_search_bench.sh with mingw-w64 (-municode).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPieceBytes = 32 * 1024;

struct Totals {
  unsigned long long notes = 0;
  unsigned long long bytes = 0;
};

bool is_note_name(const std::wstring& name) {
  const std::size_t dot = name.rfind(L'.');
  return dot != std::wstring::npos && name.compare(dot + 1, 3, L"md") == 0 &&
         name.size() == dot + 3;
}

void read_note(const std::wstring& path, std::vector<char>& piece,
               Totals& totals) {
  const HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD got = 0;
  while (::ReadFile(file, piece.data(), kPieceBytes, &got, nullptr) &&
         got > 0) {
    totals.bytes += got;
    if (got < kPieceBytes) {
      break;
    }
  }
  ++totals.notes;
  ::CloseHandle(file);
}

void walk(const std::wstring& folder, std::vector<char>& piece,
          Totals& totals) {
  WIN32_FIND_DATAW entry{};
  const HANDLE find = ::FindFirstFileExW(
      (folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
      nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    const std::wstring name = entry.cFileName;
    if (name.empty() || name.front() == L'.') {
      continue;
    }
    const std::wstring path = folder + L"\\" + name;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      walk(path, piece, totals);
    } else if (is_note_name(name)) {
      read_note(path, piece, totals);
    }
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: read_floor_win32 VAULT\n");
    return 2;
  }
  std::vector<char> piece(kPieceBytes);
  Totals totals;
  walk(argv[1], piece, totals);
  std::printf("%llu notes, %llu bytes\n", totals.notes, totals.bytes);
  return 0;
}
