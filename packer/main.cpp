// Entry point of vorbel-pack: turns the platform's arguments into UTF-8 and
// its standard streams into std::ostreams, then hands over to run_cli.
// No logic of its own; on Windows it must not depend on the console code page.
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "packer/cli.h"
#include "packer/platform.h"

namespace {

int run(const std::vector<std::string>& arguments, vorbel::pack::Console& console) {
  if (auto self = vorbel::pack::platform::own_executable()) console.tool_directory = self->parent_path();
  try {
    return vorbel::pack::run_cli(arguments, console);
  } catch (const std::bad_alloc&) {
    console.err << "vorbel-pack: out of memory\n";
    return vorbel::pack::kExitBadInput;
  }
}

}  // namespace

#ifdef _WIN32
#include <windows.h>

#include <streambuf>

#include "packer/utf.h"

namespace {

// UTF-8 text to a console as UTF-16 (WriteConsoleW shows every character
// whatever the code page), or as bytes when redirected to a file or pipe.
class StandardHandleBuffer : public std::streambuf {
 public:
  explicit StandardHandleBuffer(DWORD which) : handle_(GetStdHandle(which)) {
    DWORD mode;
    console_ = GetConsoleMode(handle_, &mode) != 0;
  }
  ~StandardHandleBuffer() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) pending_ += static_cast<char>(c);
    if (c == '\n' || pending_.size() >= 4096) sync();
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<size_t>(count));
    if (pending_.find('\n') != std::string::npos || pending_.size() >= 4096) sync();
    return count;
  }
  int sync() override {
    if (pending_.empty()) return 0;
    DWORD written;
    if (console_) {
      auto wide = vorbel::pack::utf8_to_utf16(pending_).value_or(u"?");
      WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
      WriteFile(handle_, pending_.data(), static_cast<DWORD>(pending_.size()), &written, nullptr);
    }
    pending_.clear();
    return 0;
  }

 private:
  HANDLE handle_;
  bool console_ = false;
  std::string pending_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  StandardHandleBuffer out_buffer(STD_OUTPUT_HANDLE);
  StandardHandleBuffer err_buffer(STD_ERROR_HANDLE);
  std::ostream out(&out_buffer);
  std::ostream err(&err_buffer);
  vorbel::pack::Console console{out, err, vorbel::pack::platform::stderr_is_terminal()};
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::wstring_view wide(argv[i]);
    auto utf8 = vorbel::pack::utf16_to_utf8(std::u16string(wide.begin(), wide.end()));
    if (!utf8) {
      err << "vorbel-pack: argument " << i << " is not valid Unicode\n";
      return vorbel::pack::kExitUsage;
    }
    arguments.push_back(*utf8);
  }
  return run(arguments, console);
}

#else

int main(int argc, char** argv) {
  vorbel::pack::Console console{std::cout, std::cerr, vorbel::pack::platform::stderr_is_terminal()};
  return run(std::vector<std::string>(argv + 1, argv + argc), console);
}

#endif
