// Argument files; see argument_files.h. A line becomes an argument exactly as
// a shell would pass it quoted, so nothing in it is trimmed or unescaped but
// the line end; a line that no command line could carry is refused.
#include "packer/argument_files.h"

#include "packer/launcher_image.h"
#include "packer/platform.h"
#include "packer/utf.h"

namespace vorbel::pack {

Result<std::vector<std::string>> arguments_in(std::string_view text, const std::string& shown) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::string> arguments;
  for (size_t line = 1; !text.empty(); ++line) {
    const size_t end = text.find('\n');
    std::string_view argument = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (argument.ends_with('\r')) argument.remove_suffix(1);
    const std::string where = "line " + std::to_string(line) + " ";
    if (!utf8_to_utf16(argument)) return Failure{shown, where + "is not valid UTF-8: '" + printable(argument) + "'"};
    if (argument.find('\0') != std::string_view::npos)
      return Failure{shown, where + "holds a NUL character, which no argument can"};
    arguments.emplace_back(argument);
  }
  return arguments;
}

Result<std::vector<std::string>> expand_argument_files(const std::vector<std::string>& arguments) {
  std::vector<std::string> expanded;
  for (const std::string& argument : arguments) {
    if (!argument.starts_with('@')) {
      expanded.push_back(argument);
    } else if (argument.starts_with("@@")) {
      expanded.push_back(argument.substr(1));
    } else if (argument == "@") {
      return Failure{"", "'@' names no argument file: write @FILE, or @@ for an argument that is '@'"};
    } else {
      const std::filesystem::path path = platform::path_from_utf8(argument.substr(1));
      auto text = read_whole_file(path);
      if (!text.ok()) return text.failure();
      auto read = arguments_in(std::string_view(reinterpret_cast<const char*>(text->data()), text->size()),
                               platform::show(path));
      if (!read.ok()) return read.failure();
      expanded.insert(expanded.end(), read->begin(), read->end());
    }
  }
  return expanded;
}

}  // namespace vorbel::pack
