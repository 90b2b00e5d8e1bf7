// Collection of the input files; see input_tree.h.
// Directory entries are sorted before they are looked at, so that the first
// problem reported does not depend on the order the file system lists them in.
#include "packer/input_tree.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "packer/entry_names.h"
#include "packer/platform.h"
#include "packer/utf.h"

namespace vorbel::pack {
namespace fs = std::filesystem;
namespace {

using platform::show;

std::u16string join(const std::u16string& prefix, const std::u16string& name) {
  return prefix.empty() ? name : prefix + kSeparator + name;
}

struct Ancestor {
  platform::FileIdentity identity;
  fs::path path;
};

// Problems with names, gathered rather than returned at once.
class NameProblems {
 public:
  void add(Failure failure) {
    if (shown_.size() < kShownNameProblems) shown_.push_back(std::move(failure));
    ++total_;
  }
  void add_all(const NameProblems& other) {
    for (const Failure& failure : other.shown_) add(failure);
    total_ += other.total_ - other.shown_.size();
  }
  Status result() const {
    if (total_ == 0) return done();
    Failure first = shown_.front();
    first.also.assign(shown_.begin() + 1, shown_.end());
    if (total_ > shown_.size()) {
      first.also.push_back(Failure{"", "and " + std::to_string(total_ - shown_.size()) + " more names (" +
                                           std::to_string(total_) + " in all) that cannot be packed"});
    }
    return first;
  }

 private:
  std::vector<Failure> shown_;
  size_t total_ = 0;
};

class Collector {
 public:
  explicit Collector(const ExcludePatterns& exclude) : exclude_(exclude) {}

  Status add(const fs::path& path, std::optional<std::u16string> name) {
    // "NAME/" means "into NAME": a directory's files go there, a file keeps its own name there.
    bool into = false;
    while (name && !name->empty() && name->back() == kSeparator) {
      name->pop_back();
      into = true;
    }
    if (into && name == u".") name->clear();
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (auto failure = status_problem(path, status, error)) return *failure;
    if (fs::is_directory(status)) {
      std::u16string prefix;
      if (name) {
        prefix = *name;
      } else if (auto own = own_name(path); own.ok()) {
        prefix = own.value();
      } else {
        return own.failure();
      }
      if (exclude_.excludes_directory(prefix)) return done();
      std::vector<Ancestor> ancestors;
      return add_directory(path, prefix, ancestors);
    }
    std::u16string file_name;
    if (name && !into) {
      if (name->empty())
        return Failure{show(path), "a file needs a NAME: '.' or '' means the top only for directories"};
      file_name = *name;
    } else if (auto own = own_name(path); own.ok()) {
      file_name = name && !name->empty() ? *name + kSeparator + own.value() : own.value();
    } else {
      return own.failure();
    }
    if (!top_ && exclude_.excludes_file(file_name)) return done();
    top_ = false;
    return add_file(path, file_name);
  }

  std::vector<InputFile>& files() { return files_; }
  const NameProblems& name_problems() const { return name_problems_; }

 private:
  // The name the path itself has, also when given as "dir/", "." or "a/..".
  static Result<std::u16string> own_name(const fs::path& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error).lexically_normal();
    if (!absolute.has_filename()) absolute = absolute.parent_path();
    if (error || !absolute.has_filename() || absolute == absolute.root_path()) {
      return Failure{show(path), "has no name of its own to use: give one with PATH=NAME"};
    }
    auto name = platform::name_as_utf16(absolute.filename());
    if (!name) return Failure{show(path), "file name is not valid Unicode (UTF-8 expected)"};
    return *name;
  }

  static std::optional<Failure> status_problem(const fs::path& path, fs::file_status status, std::error_code error) {
    if (status.type() == fs::file_type::not_found) {
      std::error_code link_error;
      if (fs::is_symlink(fs::symlink_status(path, link_error))) {
        return Failure{show(path), "is a symbolic link to nothing"};
      }
      return Failure{show(path), "no such file or directory"};
    }
    if (error) return Failure{show(path), "cannot inspect: " + error.message()};
    if (!fs::is_regular_file(status) && !fs::is_directory(status)) {
      return Failure{show(path), "is neither a file nor a directory (device, pipe or socket)"};
    }
    return std::nullopt;
  }

  // Opened once here so that an unreadable file stops the run before a long compression, not after.
  Status add_file(const fs::path& path, const std::u16string& name) {
    std::error_code error;
    uint64_t size = fs::file_size(path, error);
    if (error) return Failure{show(path), "cannot inspect: " + error.message()};
    int error_number = 0;
    std::FILE* file = platform::open_for_reading(path, &error_number);
    if (file == nullptr) return Failure{show(path), "cannot open: " + platform::error_text(error_number)};
    std::fclose(file);
    files_.push_back({path, name, size});
    return done();
  }

  // `ancestors` holds the directories being listed above this one: a link
  // back to one of them would repeat the tree without end.
  Status add_directory(const fs::path& directory, const std::u16string& prefix, std::vector<Ancestor>& ancestors) {
    std::error_code error;
    int error_number = 0;
    auto identity = platform::identity_of(directory, &error_number);
    if (!identity) return Failure{show(directory), "cannot inspect: " + platform::error_text(error_number)};
    for (const Ancestor& ancestor : ancestors) {
      if (ancestor.identity == *identity) {
        return Failure{show(directory),
                       "leads back to " + show(ancestor.path) + ", which contains it (a directory cycle)"};
      }
    }
    std::vector<fs::path> children;
    fs::directory_iterator it(directory, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) children.push_back(it->path());
    if (error) return Failure{show(directory), "cannot list directory: " + error.message()};
    std::sort(children.begin(), children.end());

    ancestors.push_back({*identity, directory});
    for (const fs::path& child : children) {
      auto name = platform::name_as_utf16(child.filename());
      if (!name) {
        name_problems_.add(Failure{show(child), "file name is not valid Unicode (UTF-8 expected)"});
        continue;
      }
      const std::u16string entry_name = join(prefix, *name);
      fs::file_status status = fs::status(child, error);
      const bool is_directory = !error && fs::is_directory(status);
      if (is_directory ? exclude_.excludes_directory(entry_name) : exclude_.excludes_file(entry_name)) continue;
      if (auto failure = status_problem(child, status, error)) return *failure;
      Status added = is_directory ? add_directory(child, entry_name, ancestors) : add_file(child, entry_name);
      if (!added.ok()) return added;
    }
    ancestors.pop_back();
    return done();
  }

  const ExcludePatterns& exclude_;
  bool top_ = true;  // the application, which is never excluded
  std::vector<InputFile> files_;
  NameProblems name_problems_;
};

NameProblems entry_name_problems(const std::vector<InputFile>& files);

std::optional<std::u16string> requested_name(const std::optional<std::string>& name) {
  if (!name || *name == ".") return name ? std::optional<std::u16string>(u"") : std::nullopt;
  auto converted = utf8_to_utf16(*name);
  if (!converted) return std::nullopt;
  std::replace(converted->begin(), converted->end(), u'/', kSeparator);
  return converted;
}

}  // namespace

AddRequest parse_add_request(std::string_view argument) {
  size_t equals = argument.rfind('=');
  if (equals == std::string_view::npos) return {platform::path_from_utf8(argument), std::nullopt};
  return {platform::path_from_utf8(argument.substr(0, equals)), std::string(argument.substr(equals + 1))};
}

Result<std::vector<InputFile>> collect_inputs(const fs::path& app, const std::vector<AddRequest>& adds,
                                              const ExcludePatterns& exclude) {
  Collector collector(exclude);
  std::error_code error;
  if (fs::is_directory(app, error))
    return Failure{platform::show(app), "the application must be a file, not a directory"};
  if (Status added = collector.add(app, std::nullopt); !added.ok()) return added.failure();
  // The same file or folder under the same name twice: say so, rather than
  // report each of its files as a clash with itself.
  std::vector<std::pair<platform::FileIdentity, std::optional<std::string>>> seen;
  int error_number = 0;
  if (auto identity = platform::identity_of(app, &error_number)) seen.push_back({*identity, std::nullopt});
  for (const AddRequest& add : adds) {
    if (auto identity = platform::identity_of(add.path, &error_number)) {
      std::pair<platform::FileIdentity, std::optional<std::string>> key{*identity, add.name};
      if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
        return Failure{platform::show(add.path),
                       seen.front() == key ? "given twice: it is the application (--app)" : "given twice (--add)"};
      }
      seen.push_back(std::move(key));
    }
  }
  for (const AddRequest& add : adds) {
    std::optional<std::u16string> name = requested_name(add.name);
    if (add.name && !name)
      return Failure{platform::show(add.path), "NAME '" + printable(*add.name) + "' is not valid UTF-8"};
    if (Status added = collector.add(add.path, name); !added.ok()) return added.failure();
  }
  std::vector<InputFile>& files = collector.files();
  std::sort(files.begin() + 1, files.end(), [](const InputFile& a, const InputFile& b) { return a.name < b.name; });
  NameProblems problems = collector.name_problems();
  problems.add_all(entry_name_problems(files));
  if (Status result = problems.result(); !result.ok()) return result.failure();
  return std::move(files);
}

Status check_entry_names(const std::vector<InputFile>& files) { return entry_name_problems(files).result(); }

namespace {

NameProblems entry_name_problems(const std::vector<InputFile>& files) {
  NameProblems problems;
  NameBook names;
  for (size_t i = 0; i < files.size(); ++i) {
    // A bad name is not booked: it would only add clashes that hide nothing new.
    if (auto problem = entry_name_problem(files[i].name)) {
      problems.add(Failure{platform::show(files[i].path), *problem});
    } else if (auto clash = names.add(files[i].name, i)) {
      problems.add(
          Failure{platform::show(files[i].path), clash->what + " from " + platform::show(files[clash->earlier].path)});
    }
  }
  return problems;
}

}  // namespace

}  // namespace vorbel::pack
