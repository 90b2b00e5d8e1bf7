// Pack-time checks of the application and its DLLs; see app_checks.h.
// The launcher loads the application with LoadLibraryExW searching the DLL's
// own directory (the top of the payload), the extraction directory (the same)
// and System32, so only top-level entries satisfy the imports of top-level DLLs.
#include "packer/app_checks.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "packer/entry_names.h"
#include "packer/launcher_image.h"
#include "packer/pe_imports.h"
#include "packer/platform.h"
#include "packer/system_dlls.h"
#include "packer/utf.h"

namespace vorbel::pack {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return text;
}

// A C++ compiler's name for a function called run_code (GCC/Clang "_Z8run_code...",
// MSVC "?run_code@@...").
bool is_mangled_run_code(const std::string& name) {
  return name.find("run_code") != std::string::npos && (name.starts_with("_Z") || name.starts_with("?"));
}

// A compiler's own runtime DLL (GCC's, Clang's, Microsoft's), by its name:
// linked statically, it needs no DLL at all. Any other DLL is the
// application's own, or a library's, which can only be added.
bool is_compiler_runtime(const std::string& dll) {
  const std::string name = lower(dll);
  static const char* const kRuntimes[] = {"libgcc_s_", "libstdc++-", "libwinpthread-", "libgomp-", "libquadmath-",
                                          "libgfortran-", "libssp-", "libatomic-", "libc++", "libunwind",
                                          "vcruntime", "msvcp", "concrt", "vcomp", "ucrtbased"};
  for (const char* runtime : kRuntimes) {
    if (name.starts_with(runtime)) return true;
  }
  return false;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// What of a DLL its imports are read from: the headers and the sections that
// hold the import and delay-import directories, every other section left
// without file data (and no resource directory), so that a DLL of hundreds of
// megabytes costs the packer no more memory than those parts. Nothing when
// the headers are not what this expects: the caller then reads the whole file.
std::optional<std::vector<uint8_t>> import_view(const std::filesystem::path& path) {
  constexpr size_t kHeaderRead = 64 * 1024;
  int error_number = 0;
  std::unique_ptr<std::FILE, FileCloser> file(platform::open_for_reading(path, &error_number));
  if (!file) return std::nullopt;
  std::vector<uint8_t> view(kHeaderRead);
  view.resize(std::fread(view.data(), 1, view.size(), file.get()));
  const auto fits = [&](uint64_t at, uint64_t bytes) { return at + bytes <= view.size(); };
  if (!fits(0, 64) || pe::get_u16(view, 0) != 0x5a4d) return std::nullopt;
  const uint64_t header = pe::get_u32(view, 60) + uint64_t{4};  // COFF file header
  if (!fits(header, 20 + 2)) return std::nullopt;
  const uint16_t sections = pe::get_u16(view, header + 2);
  const uint64_t optional = header + 20, table = optional + pe::get_u16(view, header + 16);
  const bool pe32_plus = pe::get_u16(view, optional) == 0x20b;
  const uint64_t directories = optional + (pe32_plus ? 112 : 96);
  if (!fits(optional, 64) || !fits(directories, 0) || !fits(table, uint64_t{sections} * 40)) return std::nullopt;
  const uint32_t size_of_headers = pe::get_u32(view, optional + 60);
  const uint32_t count = pe::get_u32(view, directories - 4);
  if (size_of_headers < table + uint64_t{sections} * 40 || !fits(0, size_of_headers) || !fits(directories, count * 8))
    return std::nullopt;
  view.resize(size_of_headers);
  std::vector<uint32_t> wanted;
  for (size_t slot : {pe::kDirImport, pe::kDirDelayImport})
    if (slot < count && pe::get_u32(view, directories + 8 * slot) != 0)
      wanted.push_back(pe::get_u32(view, directories + 8 * slot));
  if (pe::kDirResource < count) pe::put_u32(view, directories + 8 * pe::kDirResource, 0);
  for (uint64_t at = table; at < table + uint64_t{sections} * 40; at += 40) {
    const uint64_t address = pe::get_u32(view, at + 12), raw_size = pe::get_u32(view, at + 16);
    const uint64_t mapped = std::max<uint64_t>(pe::get_u32(view, at + 8), raw_size);
    const bool holds = std::any_of(wanted.begin(), wanted.end(),
                                   [&](uint32_t rva) { return rva >= address && rva < address + mapped; });
    if (!holds || raw_size == 0) {
      pe::put_u32(view, at + 16, 0);
      pe::put_u32(view, at + 20, 0);
      continue;
    }
    const uint64_t from = pe::get_u32(view, at + 20);
    if (raw_size > (uint64_t{64} << 20) || std::fseek(file.get(), static_cast<long>(from), SEEK_SET) != 0)
      return std::nullopt;
    pe::put_u32(view, at + 20, static_cast<uint32_t>(view.size()));
    const size_t start = view.size();
    view.resize(start + raw_size);
    if (std::fread(view.data() + start, 1, raw_size, file.get()) != raw_size) return std::nullopt;
  }
  return view;
}

// The DLLs `path` (of `size` bytes) imports, or nothing when it is not a PE
// image this reads. Only an image whose import view fails is read whole, and
// only up to a size that keeps the packer's memory bounded.
std::optional<std::vector<std::string>> imports_of(const std::filesystem::path& path, uint64_t size) {
  if (auto view = import_view(path)) {
    auto image = pe::parse_image(std::move(*view));
    if (image.ok()) {
      if (auto imports = pe::imported_dlls(image.value()); imports.ok()) return imports.value();
    }
  }
  if (size > (uint64_t{64} << 20)) return std::nullopt;
  auto bytes = read_whole_file(path);
  if (!bytes.ok()) return std::nullopt;  // the payload writer reports it
  auto image = pe::parse_image(std::move(bytes.value()));
  if (!image.ok()) return std::nullopt;
  auto imports = pe::imported_dlls(image.value());
  if (!imports.ok()) return std::nullopt;
  return imports.value();
}

struct Entry {
  std::string shown;      // entry name as stored, UTF-8
  std::string name;       // the same in lower case
  std::string file_name;  // its last component
  bool top = false;
};

Entry entry_of(const InputFile& file) {
  Entry entry;
  entry.shown = utf16_to_utf8(file.name).value_or("");
  entry.name = lower(entry.shown);
  size_t slash = entry.name.rfind('\\');
  entry.top = slash == std::string::npos;
  entry.file_name = entry.top ? entry.name : entry.name.substr(slash + 1);
  return entry;
}

bool is_x86_64_dll(const std::filesystem::path& path) {
  auto bytes = read_whole_file(path);
  if (!bytes.ok()) return false;
  auto image = pe::parse_image(std::move(bytes.value()));
  return image.ok() && image->pe32_plus && (pe::file_characteristics(image.value()) & pe::kFileDll) != 0;
}

}  // namespace

Status check_application(const std::vector<uint8_t>& bytes) {
  auto image = pe::parse_image(bytes);
  if (!image.ok()) return Failure{"", "is not an x86-64 Windows DLL: " + image.error()};
  if (!image->pe32_plus)
    return Failure{"", "is a 32-bit (x86) image; the launcher is x86-64 and loads only x86-64 DLLs"};
  if ((pe::file_characteristics(image.value()) & pe::kFileDll) == 0)
    return Failure{"", "is a program (.exe), not a DLL; the application must be a DLL that exports run_code"};
  auto exports = pe::export_names(image.value());
  if (!exports.ok()) return Failure{"", "has an export table this tool cannot read: " + exports.error()};
  const auto& names = exports.value();
  if (std::find(names.begin(), names.end(), "run_code") != names.end()) return done();
  auto mangled = std::find_if(names.begin(), names.end(), is_mangled_run_code);
  if (mangled != names.end())
    return Failure{
        "", "does not export run_code, only the C++ name '" + printable(*mangled) + "': declare it extern \"C\""};
  // A DLL made of a program's objects: the adapter was meant to be linked in,
  // and the linker left its object out for want of a reference to run_code.
  if (std::find(names.begin(), names.end(), "main") != names.end() ||
      std::find(names.begin(), names.end(), "wmain") != names.end()) {
    return Failure{"", "does not export run_code, but exports main: a program's own main becomes an application "
                       "DLL through the adapter; link it with -Wl,--undefined=run_code and libvorbel_adapter.a "
                       "(see the README's adapter guide)"};
  }
  return Failure{"", "does not export run_code (extern \"C\" __declspec(dllexport) int run_code(int, wchar_t**))"};
}

std::vector<std::string> non_system_imports(const std::filesystem::path& path) {
  std::vector<std::string> dlls;
  std::error_code error;
  const uint64_t size = std::filesystem::file_size(path, error);
  if (error) return dlls;  // the payload writer reports it
  auto imports = imports_of(path, size);
  if (!imports) return dlls;
  for (const std::string& dll : *imports) {
    if (!is_system_dll(dll)) dlls.push_back(dll);
  }
  return dlls;
}

namespace {

std::vector<Entry> entries_of(const std::vector<InputFile>& files) {
  std::vector<Entry> entries;
  for (const InputFile& file : files) entries.push_back(entry_of(file));
  return entries;
}

// The imports of the DLL at `importer` that neither Windows nor `entries` provide.
void add_missing_imports(const std::vector<Entry>& entries, const std::filesystem::path& importer, bool top,
                         std::vector<MissingDll>* missing) {
  for (const std::string& dll : non_system_imports(importer)) {
    std::string wanted = lower(dll);
    if (wanted.find('.') == std::string::npos) wanted += ".dll";
    // A top-level importer's imports are found at the top only; for DLLs in subfolders,
    // which the application loads its own way, any entry of that name counts.
    const auto named = [&](const Entry& entry) { return entry.file_name == wanted; };
    if (std::any_of(entries.begin(), entries.end(),
                    [&](const Entry& entry) { return named(entry) && (entry.top || !top); }))
      continue;
    auto found = std::find_if(entries.begin(), entries.end(), named);
    missing->push_back({importer, dll, found == entries.end() ? "" : found->shown});
  }
}

}  // namespace

std::vector<MissingDll> missing_dlls(const std::vector<InputFile>& files) {
  const std::vector<Entry> entries = entries_of(files);
  std::vector<MissingDll> missing;
  for (size_t i = 0; i < files.size(); ++i) {
    if (i == 0 || entries[i].file_name.ends_with(".dll"))
      add_missing_imports(entries, files[i].path, entries[i].top, &missing);
  }
  return missing;
}

std::optional<std::filesystem::path> find_dll(const std::vector<std::filesystem::path>& folders,
                                              const std::string& dll) {
  std::string wanted = lower(dll);
  if (wanted.find('.') == std::string::npos) wanted += ".dll";
  for (const std::filesystem::path& folder : folders) {
    std::error_code error;
    std::filesystem::path exact =
        folder / platform::path_from_utf8(dll.find('.') == std::string::npos ? dll + ".dll" : dll);
    if (std::filesystem::is_regular_file(exact, error) && is_x86_64_dll(exact)) return exact;
    // Windows ignores letter case; a POSIX folder may hold the DLL under another case.
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      if (lower(platform::show(it->path().filename())) != wanted || !it->is_regular_file(error)) continue;
      if (is_x86_64_dll(it->path())) return it->path();
    }
  }
  return std::nullopt;
}

Result<std::vector<AddRequest>> with_search_path_dlls(const std::filesystem::path& app, std::vector<AddRequest> adds,
                                                      const std::vector<std::filesystem::path>& search_folders) {
  if (search_folders.empty()) return adds;
  std::vector<std::string> looked_for;  // lower case
  for (bool added = true; added;) {
    auto files = collect_inputs(app, adds);
    if (!files.ok()) return files.failure();
    added = false;
    for (const MissingDll& missing : missing_dlls(files.value())) {
      if (!missing.held_as.empty()) continue;  // the warning says where it must go instead
      const std::string name = lower(missing.dll);
      if (std::find(looked_for.begin(), looked_for.end(), name) != looked_for.end()) continue;
      looked_for.push_back(name);
      // Added under its own file name, so at the top, where the loader looks.
      if (auto found = find_dll(search_folders, missing.dll)) {
        adds.push_back({*found, std::nullopt});
        added = true;
      }
    }
  }
  return adds;
}

std::vector<std::string> missing_dll_warnings(const std::vector<InputFile>& files,
                                              const std::vector<std::filesystem::path>& toolchain_folders) {
  std::vector<std::string> warnings;
  const std::vector<Entry> entries = entries_of(files);
  const std::vector<MissingDll> missing_now = missing_dlls(files);
  // Lower-case names that have a line of their own: those the payload's files
  // import and those a toolchain's copy led to, so that none is named twice.
  std::vector<std::string> named;
  for (const MissingDll& missing : missing_now) named.push_back(lower(missing.dll));
  const auto nowhere = [&](const std::string& importer, const std::string& dll, auto& self) -> void {
    auto held = find_dll(toolchain_folders, dll);
    std::string text = importer + ": imports " + printable(dll) + ", which is neither in the payload nor part of Windows: ";
    text += is_compiler_runtime(dll) || held
                ? "link that runtime statically (for GCC's: -static-libgcc -static-libstdc++, or -static) or --add "
                  "the DLL"
                : "--add the DLL, or --search-path the folder that holds it (it is then added with the DLLs it "
                  "imports)";
    if (held) {
      text += "; the mingw-w64 toolchain holds it in " + platform::show(held->parent_path()) + " (--search-path " +
              platform::show(held->parent_path()) + ")";
    }
    warnings.push_back(text);
    if (!held) return;
    // What the toolchain's copy imports goes missing with it, unless the payload has it.
    std::vector<MissingDll> next_missing;
    add_missing_imports(entries, *held, true, &next_missing);
    for (const MissingDll& next : next_missing) {
      if (!next.held_as.empty()) continue;
      if (std::find(named.begin(), named.end(), lower(next.dll)) != named.end()) continue;
      named.push_back(lower(next.dll));
      self(platform::show(*held), next.dll, self);
    }
  };
  for (const MissingDll& missing : missing_now) {
    const std::string importer = platform::show(missing.importer);
    if (!missing.held_as.empty()) {
      warnings.push_back(
          importer + ": imports " + printable(missing.dll) + ", which the payload holds only as " +
          printable(missing.held_as) +
          ", where Windows does not look for it: add it at the top (--add PATH=" + printable(missing.dll) + ")");
    } else {
      nowhere(importer, missing.dll, nowhere);
    }
  }
  return warnings;
}

std::optional<std::string> long_path_warning(const std::vector<InputFile>& files) {
  const InputFile* longest = nullptr;
  size_t count = 0;
  for (const InputFile& file : files) {
    if (!long_unpacked_path(file.name)) continue;
    ++count;
    if (longest == nullptr || file.name.size() > longest->name.size()) longest = &file;
  }
  if (longest == nullptr) return std::nullopt;
  const LongPath path = *long_unpacked_path(longest->name);
  const bool folder = path.limit == kPlainDirectoryLimit;
  std::string text = printable(longest->name) + ": with a typical %TEMP% " + (folder ? "its folder's" : "its") +
                     " unpacked path would be " + std::to_string(path.units) + " UTF-16 units, past the " +
                     std::to_string(path.limit - 1) + " Windows takes " + (folder ? "for a new folder " : "") +
                     "without long paths enabled";
  if (count > 1)
    text += " (and " + std::to_string(count - 1) + (count == 2 ? " more such entry)" : " more such entries)");
  return text + "; the launcher then uses the \\\\?\\ long-path form";
}

std::optional<Failure> output_problem(const std::filesystem::path& output, const std::vector<NamedInput>& inputs) {
  namespace fs = std::filesystem;
  const std::string shown = platform::show(output);
  if (auto name = platform::name_as_utf16(output.filename())) {
    if (auto device = device_name_in(*name)) {
      return Failure{shown, "uses the reserved device name '" + printable(*device) +
                                "': on Windows that name, with any extension, opens the device, not a file; "
                                "choose another output name"};
    }
  }
  std::error_code error;
  fs::path folder = output.parent_path();
  if (folder.empty()) folder = ".";
  if (!fs::exists(folder, error)) return Failure{shown, "the folder " + platform::show(folder) + " does not exist"};
  if (!fs::is_directory(folder, error)) return Failure{shown, platform::show(folder) + " is not a folder"};
  if (fs::is_directory(output, error)) return Failure{shown, "is a folder; give the file to write, such as MyApp.exe"};
  int error_number = 0;
  auto target = platform::identity_of(output, &error_number);
  if (!target) return std::nullopt;  // not there yet: it cannot be an input
  for (const NamedInput& input : inputs) {
    if (platform::identity_of(input.path, &error_number) == target)
      return Failure{shown,
                     "is the same file as " + input.role + ", which packing would overwrite; choose another output"};
  }
  return std::nullopt;
}

}  // namespace vorbel::pack
