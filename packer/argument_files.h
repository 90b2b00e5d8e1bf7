// Argument files for vorbel-pack's command line: "@FILE" stands for the
// arguments FILE holds, one a line, so that long option lists and names with
// blanks need no shell quoting. Reads the files named; writes nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "packer/result.h"

namespace vorbel::pack {

// The arguments with each "@FILE" replaced by FILE's arguments and each
// "@@TEXT" by "@TEXT". The arguments read from a file are taken as they are:
// a line that begins with '@' names no further file. Failures name the file.
Result<std::vector<std::string>> expand_argument_files(const std::vector<std::string>& arguments);

// The arguments in an argument file's text: every line one argument, UTF-8,
// without its line end ("\n", or "\r\n"); a last line end makes no empty
// argument after it, and a UTF-8 byte order mark at the start is no part of
// the first. Failures name `shown` and the line.
Result<std::vector<std::string>> arguments_in(std::string_view text, const std::string& shown);

}  // namespace vorbel::pack
