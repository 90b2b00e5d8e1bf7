// Windows and POSIX halves of platform.h, one #if apart.
// On Windows every file name goes through the wide API, so names outside the
// ANSI code page work; on POSIX names are bytes that must be UTF-8.
#include "packer/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "packer/utf.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vorbel::pack::platform {

std::filesystem::path path_from_utf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string error_text(int error_number) { return std::strerror(error_number); }

#ifdef _WIN32

namespace {

std::u16string as_utf16(const std::wstring& wide) { return std::u16string(wide.begin(), wide.end()); }

}  // namespace

std::string show(const std::filesystem::path& path) { return printable(as_utf16(path.native())); }

std::optional<std::u16string> name_as_utf16(const std::filesystem::path& file_name) {
  std::u16string name = as_utf16(file_name.native());
  if (!utf16_to_utf8(name)) return std::nullopt;
  return name;
}

std::filesystem::path path_from_utf16(std::u16string_view component) {
  return std::filesystem::path(std::wstring(component.begin(), component.end()));
}

std::FILE* open_for_reading(const std::filesystem::path& path, int* error_number) {
  std::FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) *error_number = errno;
  return file;
}

std::FILE* create_new_file(const std::filesystem::path& path, bool /*executable*/, int* error_number) {
  int descriptor = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (descriptor < 0) {
    *error_number = errno;
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, "wb");
  if (file == nullptr) {
    *error_number = errno;
    _close(descriptor);
  }
  return file;
}

bool finish_file(std::FILE* file, bool durable, int* error_number) {
  bool ok = std::fflush(file) == 0 && (!durable || _commit(_fileno(file)) == 0);
  if (!ok) *error_number = errno;
  if (std::fclose(file) != 0 && ok) {
    *error_number = errno;
    ok = false;
  }
  return ok;
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to, std::string* problem) {
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  DWORD code = GetLastError();
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string message(text, text + length);
  LocalFree(text);
  while (!message.empty() && (message.back() == u' ' || message.back() == u'.')) message.pop_back();
  *problem = message.empty() ? "system error " + std::to_string(code) : printable(message);
  return false;
}

std::optional<FileIdentity> identity_of(const std::filesystem::path& path, int* error_number) {
  // Directories open only with backup semantics; nothing is read or locked.
  HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error_number = EACCES;
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION information;
  BOOL ok = GetFileInformationByHandle(handle, &information);
  CloseHandle(handle);
  if (!ok) {
    *error_number = EIO;
    return std::nullopt;
  }
  return FileIdentity{information.dwVolumeSerialNumber,
                      (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

unsigned long process_id() { return static_cast<unsigned long>(_getpid()); }

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

std::optional<std::filesystem::path> own_executable() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::nullopt;
    if (length < path.size()) return std::filesystem::path(path.substr(0, length));
    if (path.size() >= 32768) return std::nullopt;
    path.resize(path.size() * 2);
  }
}

// A Windows host's toolchains have no fixed place to look in.
std::vector<std::filesystem::path> toolchain_dll_folders() { return {}; }

#else

std::string show(const std::filesystem::path& path) { return printable(path.native()); }

std::optional<std::u16string> name_as_utf16(const std::filesystem::path& file_name) {
  return utf8_to_utf16(file_name.native());
}

std::filesystem::path path_from_utf16(std::u16string_view component) {
  // Entry names are checked before they get here; an unpaired surrogate cannot occur.
  return std::filesystem::path(utf16_to_utf8(component).value_or(std::string()));
}

std::FILE* open_for_reading(const std::filesystem::path& path, int* error_number) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) *error_number = errno;
  return file;
}

std::FILE* create_new_file(const std::filesystem::path& path, bool executable, int* error_number) {
  int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, executable ? 0777 : 0666);
  if (descriptor < 0) {
    *error_number = errno;
    return nullptr;
  }
  std::FILE* file = fdopen(descriptor, "wb");
  if (file == nullptr) {
    *error_number = errno;
    close(descriptor);
  }
  return file;
}

bool finish_file(std::FILE* file, bool durable, int* error_number) {
  bool ok = std::fflush(file) == 0 && (!durable || fsync(fileno(file)) == 0);
  if (!ok) *error_number = errno;
  if (std::fclose(file) != 0 && ok) {
    *error_number = errno;
    ok = false;
  }
  return ok;
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to, std::string* problem) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  *problem = error_text(errno);
  return false;
}

std::optional<FileIdentity> identity_of(const std::filesystem::path& path, int* error_number) {
  struct stat information;
  if (stat(path.c_str(), &information) != 0) {
    *error_number = errno;
    return std::nullopt;
  }
  return FileIdentity{static_cast<uint64_t>(information.st_dev), static_cast<uint64_t>(information.st_ino)};
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

bool stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }

std::optional<std::filesystem::path> own_executable() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return path;
}

std::vector<std::filesystem::path> toolchain_dll_folders() {
  namespace fs = std::filesystem;
  // Debian's mingw-w64: GCC's runtime DLLs per version and thread model (the
  // posix one, whose libstdc++ imports libwinpthread), then the C side's.
  std::vector<fs::path> gcc;
  std::error_code error;
  for (fs::directory_iterator it("/usr/lib/gcc/x86_64-w64-mingw32", error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().string().ends_with("-posix")) gcc.push_back(it->path());
  }
  const auto version = [](const fs::path& folder) { return std::atoi(folder.filename().c_str()); };
  std::sort(gcc.begin(), gcc.end(), [&](const fs::path& a, const fs::path& b) { return version(a) > version(b); });
  gcc.push_back("/usr/x86_64-w64-mingw32/lib");
  return gcc;
}

#endif

}  // namespace vorbel::pack::platform
