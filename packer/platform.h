// The few places where the build tool must know whether it runs on Windows or
// on a POSIX host: file names as Unicode, opening and replacing files, terminals.
// Everything else in the tool is written against these and the standard library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorbel::pack::platform {

// Arguments arrive as UTF-8 on every platform (main converts them on Windows).
std::filesystem::path path_from_utf8(std::string_view utf8);

// The path for a message: UTF-8, one line, undecodable parts escaped.
std::string show(const std::filesystem::path& path);

// A directory entry's own name as UTF-16, or nothing when it is not valid
// Unicode (invalid UTF-8 on POSIX, an unpaired surrogate on Windows).
std::optional<std::u16string> name_as_utf16(const std::filesystem::path& file_name);

// One component of an entry name as a host path component.
std::filesystem::path path_from_utf16(std::u16string_view component);

// The system's text for an errno value.
std::string error_text(int error_number);

// Opens an existing file for binary reading; sets *error_number on failure.
std::FILE* open_for_reading(const std::filesystem::path& path, int* error_number);

// Creates a file that must not exist yet (never follows or replaces anything
// already there) for binary writing; sets *error_number on failure.
std::FILE* create_new_file(const std::filesystem::path& path, bool executable, int* error_number);

// Flushes and closes; `durable` also waits for the disk, so that a rename
// cannot publish a name whose contents a crash would lose.
bool finish_file(std::FILE* file, bool durable, int* error_number);

// Renames `from` to `to`, replacing `to` if it exists; fills *problem on failure.
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to, std::string* problem);

// What makes a directory the same one whatever path reaches it (device and
// inode, or volume and file index), for finding link cycles.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> identity_of(const std::filesystem::path& path, int* error_number);

// Numbers temporary files apart from those of other runs.
unsigned long process_id();

bool stderr_is_terminal();

// This program's own file, for finding the launcher installed beside it.
std::optional<std::filesystem::path> own_executable();

// Folders where a mingw-w64 toolchain on this host keeps its runtime DLLs,
// for naming them in warnings; empty where there is no usual place.
std::vector<std::filesystem::path> toolchain_dll_folders();

}  // namespace vorbel::pack::platform
