// The build tool's refusals, case by case: bad input and bad usage each give
// one line naming the file and the problem (or the usage hint), the status
// that says which, and leave no output and no temporary file behind.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "packer/cli.h"
#include "packer/cli_test_support.h"
#include "packer/synthetic_image.h"
#include "packer/test_files.h"

namespace vorbel::pack {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::read_file;
using testing::run;
using testing::ScratchDir;
using testing::str;
using testing::write_file;

struct Refusal {
  const char* what;
  std::vector<std::string> arguments;  // "@" stands for the scratch directory, "L" for the launcher
  int status;
  const char* file;     // expected in the message (with "@" replaced); nullptr: usage error
  const char* problem;  // part of the message
};

TEST(PackCli, RefusesBadInputAndBadUsageWithOneLineAndNoOutputFile) {
  REQUIRE_LAUNCHER();
  const Refusal cases[] = {
      {"launcher not a PE image",
       {"build", "--launcher", "@/notes.txt", "--app", "@/app.dll", "-o", "@/out.exe"},
       1,
       "@/notes.txt",
       "is not a PE image this tool can read"},
      {"app a text file",
       {"build", "--launcher", "L", "--app", "@/notes.txt", "-o", "@/out.exe"},
       1,
       "@/notes.txt",
       "is not an x86-64 Windows DLL"},
      {"app a program",
       {"build", "--launcher", "L", "--app", "L", "-o", "@/out.exe"},
       1,
       "L",
       "is a program (.exe), not a DLL"},
      {"app a 32-bit DLL",
       {"build", "--launcher", "L", "--app", "@/x86.dll", "-o", "@/out.exe"},
       1,
       "@/x86.dll",
       "is a 32-bit (x86) image"},
      {"app with a C++ run_code",
       {"build", "--launcher", "L", "--app", "@/mangled.dll", "-o", "@/out.exe"},
       1,
       "@/mangled.dll",
       "declare it extern \"C\""},
      {"output a Windows device name",
       {"build", "--launcher", "L", "--app", "@/app.dll", "-o", "@/CON.exe"},
       1,
       "@/CON.exe",
       "uses the reserved device name 'CON'"},
      {"output is the application",
       {"build", "--launcher", "L", "--app", "@/app.dll", "-o", "@/app.dll"},
       1,
       "@/app.dll",
       "is the same file as the application (--app)"},
      {"output is the launcher",
       {"build", "--launcher", "@/launcher.exe", "--app", "@/app.dll", "-o", "@/launcher.exe"},
       1,
       "@/launcher.exe",
       "is the same file as the launcher (--launcher)"},
      {"output is an added file",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--add", "@/notes.txt=docs/", "-o", "@/notes.txt"},
       1,
       "@/notes.txt",
       "is the same file as the added file docs\\notes.txt"},
      {"output is the payload",
       {"embed", "--launcher", "L", "--payload", "@/notes.txt", "-o", "@/notes.txt"},
       1,
       "@/notes.txt",
       "is the same file as the payload (--payload)"},
      {"output is a folder",
       {"build", "--launcher", "L", "--app", "@/app.dll", "-o", "@/case"},
       1,
       "@/case",
       "is a folder"},
      {"folder given twice",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--add", "@/case", "--add", "@/case", "-o", "@/out.exe"},
       1,
       "@/case",
       "given twice (--add)"},
      {"application given again",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--add", "@/app.dll", "-o", "@/out.exe"},
       1,
       "@/app.dll",
       "given twice: it is the application (--app)"},
      {"icon not an icon",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--icon", "@/notes.txt", "-o", "@/out.exe"},
       1,
       "@/notes.txt",
       "is not a usable icon file (.ico)"},
      {"manifest not XML",
       {"embed", "--launcher", "L", "--payload", "@/notes.txt", "--manifest", "@/notes.txt", "-o", "@/out.exe"},
       1,
       "@/notes.txt",
       "is not XML"},
      {"file version without numbers",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--file-version", "beta", "-o", "@/out.exe"},
       1,
       "--file-version",
       "'beta' does not start with one to four numbers"},
      {"launcher missing",
       {"build", "--launcher", "@/none.exe", "--app", "@/app.dll", "-o", "@/out.exe"},
       1,
       "@/none.exe",
       "cannot open"},
      {"app missing",
       {"build", "--launcher", "L", "--app", "@/none.dll", "-o", "@/out.exe"},
       1,
       "@/none.dll",
       "no such file"},
      {"names clashing in case",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--add", "@/case", "-o", "@/out.exe"},
       1,
       "@/case/readme",
       "same file on Windows"},
      {"name too long",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--add", "@/app.dll=" + std::string(1024, 'n'), "-o",
        "@/out.exe"},
       1,
       "@/app.dll",
       "more than 1023"},
      {"reserved name",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--add", "@/app.dll=lib/NUL.dll", "-o", "@/out.exe"},
       1,
       "@/app.dll",
       "reserved device name"},
      {"output directory missing",
       {"build", "--launcher", "L", "--app", "@/app.dll", "-o", "@/no/out.exe"},
       1,
       "@/no/out.exe",
       "the folder @/no does not exist"},
      {"payload without VUQ",
       {"embed", "--launcher", "L", "--payload", "@/notes.txt", "-o", "@/out.exe"},
       1,
       "@/notes.txt",
       "does not begin with \"VUQ\""},
      {"list of an unpacked launcher", {"list", "L"}, 1, "L", "has no payload"},
      {"verify of a non-PE file", {"verify", "@/notes.txt"}, 1, "@/notes.txt", "not a PE image"},
      {"extract of a missing file", {"extract", "@/none.exe", "@/x"}, 1, "@/none.exe", "cannot open"},

      {"no command", {}, 2, nullptr, "no command given"},
      {"unknown command", {"pack"}, 2, nullptr, "unknown command 'pack'"},
      {"build without --app", {"build", "--launcher", "L", "-o", "@/out.exe"}, 2, nullptr, "build needs --app"},
      {"build without a launcher beside the tool",
       {"build", "--app", "@/app.dll", "-o", "@/out.exe"},
       2,
       nullptr,
       "build needs --launcher: there is no launcher.exe beside vorbel-pack"},
      {"version option twice",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--company-name", "A", "--company-name=B", "-o", "@/o.exe"},
       2,
       nullptr,
       "option --company-name given twice"},
      {"build without -o", {"build", "--launcher", "L", "--app", "@/app.dll"}, 2, nullptr, "needs -o"},
      {"option without value",
       {"build", "--launcher", "L", "--app", "@/app.dll", "-o"},
       2,
       nullptr,
       "-o needs a value"},
      {"level 0",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--level", "0", "-o", "@/out.exe"},
       2,
       nullptr,
       "--level takes"},
      {"level 23",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--level=23", "-o", "@/out.exe"},
       2,
       nullptr,
       "--level takes"},
      {"long window 28",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--long=28", "-o", "@/out.exe"},
       2,
       nullptr,
       "window log from 10 to 27"},
      {"threads 0",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--threads", "0", "-o", "@/out.exe"},
       2,
       nullptr,
       "--threads takes"},
      {"option of another command",
       {"embed", "--launcher", "L", "--app", "@/app.dll", "-o", "@/out.exe"},
       2,
       nullptr,
       "unknown option '--app' for embed"},
      {"stray argument",
       {"build", "--launcher", "L", "--app", "@/app.dll", "extra", "-o", "@/out.exe"},
       2,
       nullptr,
       "unexpected argument 'extra' for build"},
      {"--arg with a brace that begins no placeholder",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--arg", "{CONTENT}\\main.lua", "-o", "@/out.exe"},
       2,
       nullptr,
       "--arg '{CONTENT}\\main.lua': the '{' at character 1 begins no placeholder"},
      {"--arg with a lone closing brace",
       {"embed", "--launcher", "L", "--payload", "@/notes.txt", "--arg=a}b", "-o", "@/out.exe"},
       2,
       nullptr,
       "--arg 'a}b': the '}' at character 2 closes no placeholder"},
      {"--error-dialog for a console program",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--console", "--error-dialog", "-o", "@/out.exe"},
       2,
       nullptr,
       "--error-dialog is for GUI programs"},
      {"--progress-window for a console program",
       {"build", "--launcher", "L", "--app", "@/app.dll", "--console", "--progress-window", "-o", "@/out.exe"},
       2,
       nullptr,
       "--progress-window is for GUI programs: with --console, give --progress"},
      {"extract without DIR", {"extract", "L"}, 2, nullptr, "needs PACKED.exe and DIR"},
      {"list of two files", {"list", "L", "L"}, 2, nullptr, "list needs PACKED.exe"},
  };
  pe::SyntheticImage x86;
  x86.pe32 = x86.dll = true;
  x86.exports = {"run_code"};
  const std::vector<uint8_t> x86_dll = pe::make_synthetic_image(x86);
  const std::string launcher = read_file(VORBEL_TEST_LAUNCHER);
  const std::set<std::string> inputs = {"app.dll", "case", "launcher.exe", "mangled.dll", "notes.txt", "x86.dll"};
  for (const auto& c : cases) {
    ScratchDir dir;
    write_file(dir / "app.dll", pe::synthetic_dll());
    write_file(dir / "case/README", "");
    write_file(dir / "case/readme", "");
    write_file(dir / "launcher.exe", launcher);
    write_file(dir / "mangled.dll", pe::synthetic_dll({"_Z8run_codeiPPw"}));
    write_file(dir / "notes.txt", "notes");
    write_file(dir / "x86.dll", std::string(x86_dll.begin(), x86_dll.end()));
    const auto expand = [&](std::string text) {
      if (text == "L") return std::string(VORBEL_TEST_LAUNCHER);
      if (text.find('@') != std::string::npos) text.replace(text.find('@'), 1, str(dir.path()));
      return text;
    };
    std::vector<std::string> arguments;
    for (const auto& argument : c.arguments) arguments.push_back(expand(argument));

    Outcome result = run(arguments);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.out, "") << c.what;
    const std::string first_line = result.err.substr(0, result.err.find('\n'));
    if (c.file != nullptr) {
      EXPECT_EQ(result.err, first_line + "\n") << c.what << ": more than one line";
      EXPECT_TRUE(first_line.starts_with("vorbel-pack: " + expand(c.file) + ": ")) << c.what << ": " << first_line;
    } else {
      EXPECT_NE(result.err.find("Try 'vorbel-pack --help'"), std::string::npos) << c.what;
    }
    EXPECT_NE(first_line.find(expand(c.problem)), std::string::npos) << c.what << ": " << first_line;
    // Nothing new in the scratch directory: no output, no temporary file.
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path())) left.insert(entry.path().filename().string());
    EXPECT_EQ(left, inputs) << c.what;
    EXPECT_EQ(read_file(dir / "launcher.exe"), launcher) << c.what;
    EXPECT_EQ(read_file(dir / "app.dll"), pe::synthetic_dll()) << c.what;
    EXPECT_EQ(read_file(dir / "notes.txt"), "notes") << c.what;
  }
}

}  // namespace
}  // namespace vorbel::pack
