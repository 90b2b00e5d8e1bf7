// The unpack floor: the least a program does to turn a packed launcher's
// payload into files: the same decoder on the same frame, straight out of the
// mapped resource, and the same file calls (CreateDirectoryW, CreateFileW,
// WriteFile), each directory created once. Reports its time inside the process.
//   floor_unpack.exe PACKED.exe OUT_DIR
#include <windows.h>
#include <zstd.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/bench_report.h"
#include "payload/payload_format.h"

namespace {

// The entry list, fed in decoded pieces of any length.
class EntryWriter {
 public:
  explicit EntryWriter(std::wstring root) : root_(std::move(root)) { directories_.insert(root_); }

  // False on a write that fails.
  bool feed(const uint8_t* data, size_t size) {
    while (size != 0) {
      size_t used = 0;
      if (state_ == NAME) {
        used = take_name(data, size);
      } else if (state_ == SIZE) {
        used = take_size(data, size);
      } else if (state_ == CONTENTS) {
        used = remaining_ < size ? static_cast<size_t>(remaining_) : size;
        DWORD written = 0;
        if (!WriteFile(file_, data, static_cast<DWORD>(used), &written, nullptr)) return false;
        remaining_ -= used;
        if (remaining_ == 0) close_file();
      } else {
        return true;  // after the end marker
      }
      data += used;
      size -= used;
    }
    return true;
  }
  bool done() const { return state_ == DONE; }

 private:
  enum State { NAME, SIZE, CONTENTS, DONE };

  size_t take_name(const uint8_t* data, size_t size) {
    size_t used = 0;
    while (used < size) {
      pending_[pending_count_++] = data[used++];
      if (pending_count_ < 2) continue;
      pending_count_ = 0;
      wchar_t unit = static_cast<wchar_t>(pending_[0] | (pending_[1] << 8));
      if (unit != L'\0') {
        name_ += unit;
        continue;
      }
      state_ = name_.empty() ? DONE : SIZE;
      break;
    }
    return used;
  }

  size_t take_size(const uint8_t* data, size_t size) {
    size_t used = 0;
    while (used < size && pending_count_ < ENTRY_SIZE_BYTES) pending_[pending_count_++] = data[used++];
    if (pending_count_ == ENTRY_SIZE_BYTES) {
      pending_count_ = 0;
      remaining_ = 0;
      for (size_t i = ENTRY_SIZE_BYTES; i-- > 0;) remaining_ = (remaining_ << 8) | pending_[i];
      open_file();
    }
    return used;
  }

  void open_file() {
    std::wstring path = root_ + L"\\" + name_;
    for (size_t cut = path.find(L'\\', root_.size() + 1); cut != std::wstring::npos; cut = path.find(L'\\', cut + 1)) {
      std::wstring directory = path.substr(0, cut);
      if (directories_.insert(directory).second) CreateDirectoryW(directory.c_str(), nullptr);
    }
    file_ = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    name_.clear();
    state_ = CONTENTS;
    if (remaining_ == 0) close_file();
  }

  void close_file() {
    CloseHandle(file_);
    state_ = NAME;
  }

  std::wstring root_;
  std::unordered_set<std::wstring> directories_;
  State state_ = NAME;
  std::wstring name_;
  uint8_t pending_[ENTRY_SIZE_BYTES] = {};
  size_t pending_count_ = 0;
  uint64_t remaining_ = 0;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  if (__argc != 3) return 2;
  LARGE_INTEGER started = clock_now();
  HMODULE image = LoadLibraryExW(__wargv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(PAYLOAD_RESOURCE_ID), MAKEINTRESOURCEW(PAYLOAD_RESOURCE_TYPE));
  if (resource == nullptr) return 2;
  const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(image, resource)));
  DWORD size = SizeofResource(image, resource);
  if (size < PAYLOAD_HEADER_SIZE) return 2;

  CreateDirectoryW(__wargv[2], nullptr);
  EntryWriter writer(__wargv[2]);
  ZSTD_DCtx* decoder = ZSTD_createDCtx();
  std::vector<uint8_t> decoded(ZSTD_DStreamOutSize());
  ZSTD_inBuffer in = {data + PAYLOAD_HEADER_SIZE, size - PAYLOAD_HEADER_SIZE, 0};
  size_t left = 1;
  while (left != 0 && !writer.done()) {
    ZSTD_outBuffer out = {decoded.data(), decoded.size(), 0};
    left = ZSTD_decompressStream(decoder, &out, &in);
    if (ZSTD_isError(left) || !writer.feed(decoded.data(), out.pos)) return 1;
    if (out.pos == 0 && in.pos == in.size) break;
  }
  ZSTD_freeDCtx(decoder);
  report_line(field("unpack_s", seconds_since(started)));
  return writer.done() ? 0 : 1;
}
