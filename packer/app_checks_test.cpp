// Tests of the pack-time checks: the application DLL's refusals, the import
// and export tables they read, the system DLL table and the missing-DLL
// warnings, on small images made in memory (synthetic_image).
#include "packer/app_checks.h"

#include <gtest/gtest.h>

#include "packer/pe_imports.h"
#include "packer/synthetic_image.h"
#include "packer/system_dlls.h"
#include "packer/test_files.h"

namespace vorbel::pack {
namespace {

using testing::ScratchDir;
using testing::write_file;

std::vector<uint8_t> bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::string problem_of(const std::vector<uint8_t>& file) {
  Status status = check_application(file);
  return status.ok() ? "" : status.failure().problem;
}

std::vector<uint8_t> image_of(pe::SyntheticImage shape) { return pe::make_synthetic_image(shape); }

TEST(CheckApplication, RefusesWhatTheLauncherCouldNotLoadOrCall) {
  pe::SyntheticImage x86;
  x86.pe32 = x86.dll = true;
  x86.exports = {"run_code"};
  pe::SyntheticImage program;
  program.exports = {"run_code"};
  pe::SyntheticImage mangled;
  mangled.dll = true;
  mangled.exports = {"helper", "_Z8run_codeiPPw"};
  pe::SyntheticImage msvc_mangled = mangled;
  msvc_mangled.exports = {"?run_code@@YAHHPEAPEA_W@Z"};
  pe::SyntheticImage none;
  none.dll = true;
  none.exports = {"Run_Code", "helper"};
  pe::SyntheticImage program_objects = none;
  program_objects.exports = {"helper", "main"};
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    const char* problem;  // start of the message
  } cases[] = {
      {"text", bytes("hello"), "is not an x86-64 Windows DLL: not a Windows executable (no MZ header)"},
      {"32-bit", image_of(x86), "is a 32-bit (x86) image; the launcher is x86-64"},
      {"program", image_of(program), "is a program (.exe), not a DLL"},
      {"GCC's C++ name", image_of(mangled),
       "does not export run_code, only the C++ name '_Z8run_codeiPPw': declare it extern \"C\""},
      {"MSVC's C++ name", image_of(msvc_mangled), "does not export run_code, only the C++ name '?run_code@@"},
      {"no run_code", image_of(none), "does not export run_code (extern \"C\""},
      {"a program's objects", image_of(program_objects),
       "does not export run_code, but exports main: a program's own main becomes an application DLL through the "
       "adapter; link it with -Wl,--undefined=run_code"},
  };
  for (const Case& c : cases)
    EXPECT_TRUE(problem_of(c.file).starts_with(c.problem)) << c.what << ": " << problem_of(c.file);
  EXPECT_EQ(problem_of(bytes(pe::synthetic_dll())), "");
}

TEST(CheckApplication, RefusesAnExportTableOutsideTheImage) {
  std::vector<uint8_t> file = bytes(pe::synthetic_dll());
  auto image = pe::parse_image(file).value();
  const size_t names_rva_at =
      pe::bytes_from_rva(image, pe::directory_of(image, pe::kDirExport).virtual_address).data() - image.file.data() +
      32;
  pe::put_u32(file, names_rva_at, 0x7fff0000);
  EXPECT_TRUE(problem_of(file).starts_with("has an export table this tool cannot read")) << problem_of(file);
}

TEST(ImportedDlls, ListsOrdinaryAndDelayLoadedDllsOnceEach) {
  pe::SyntheticImage shape;
  shape.dll = true;
  shape.imports = {"KERNEL32.dll", "libstdc++-6.dll", "kernel32.DLL"};
  shape.delay_imports = {"zlib1.dll"};
  auto image = pe::parse_image(image_of(shape)).value();
  auto dlls = pe::imported_dlls(image);
  ASSERT_TRUE(dlls.ok()) << dlls.error();
  EXPECT_EQ(dlls.value(), (std::vector<std::string>{"KERNEL32.dll", "libstdc++-6.dll", "zlib1.dll"}));
}

TEST(ImportedDlls, RefusesATableWithoutItsEnd) {
  pe::SyntheticImage shape;
  shape.imports = {"a.dll"};
  std::vector<uint8_t> file = image_of(shape);
  auto image = pe::parse_image(file).value();
  // Fill the section from the descriptors on with non-zero bytes: no terminating descriptor, no name ends.
  const uint32_t rva = pe::directory_of(image, pe::kDirImport).virtual_address;
  std::span<const uint8_t> rest = pe::bytes_from_rva(image, rva);
  std::fill(file.begin() + (rest.data() - image.file.data()),
            file.begin() + (rest.data() - image.file.data()) + rest.size(), 0x41);
  auto dlls = pe::imported_dlls(pe::parse_image(file).value());
  EXPECT_FALSE(dlls.ok());
}

TEST(SystemDlls, KnowsWindowsOwnDllsAndApiSetsButNotCompilerRuntimes) {
  for (const char* name :
       {"KERNEL32.dll", "user32.DLL", "msvcrt.dll", "ucrtbase.dll", "winspool.drv", "ws2_32",
        "api-ms-win-crt-runtime-l1-1-0.dll", "API-MS-WIN-core-synch-l1-2-0.dll", "ext-ms-win-ntuser-window-l1-1-0.dll"})
    EXPECT_TRUE(is_system_dll(name)) << name;
  for (const char* name : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "vcruntime140.dll",
                           "msvcp140.dll", "zlib1.dll", "kernel32.dll.bak", "api-ms.dll", ""})
    EXPECT_FALSE(is_system_dll(name)) << name;
}

TEST(MissingDllWarnings, NameTheImporterAndEachDllThatNothingProvides) {
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll({"run_code"}, {"KERNEL32.dll", "libstdc++-6.dll", "helper.dll",
                                                               "api-ms-win-crt-heap-l1-1-0.dll", "zlib1.dll"}));
  write_file(dir / "helper.dll", pe::synthetic_dll({"help"}, {"libwinpthread-1.dll", "HELPER2.DLL"}));
  write_file(dir / "helper2.dll", pe::synthetic_dll({"help"}, {"user32.dll"}));
  write_file(dir / "libs/zlib1.dll", pe::synthetic_dll({"inflate"}, {"msvcrt.dll", "plugin_base.dll"}));
  write_file(dir / "libs/plugin_base.dll", pe::synthetic_dll({"base"}, {}));
  write_file(dir / "notes.dll", "not a PE image: passed over");
  std::vector<InputFile> files = {
      {dir / "app.dll", u"app.dll", 0},
      {dir / "helper.dll", u"helper.dll", 0},
      {dir / "helper2.dll", u"helper2.dll", 0},
      {dir / "libs/plugin_base.dll", u"libs\\plugin_base.dll", 0},
      {dir / "libs/zlib1.dll", u"libs\\zlib1.dll", 0},
      {dir / "notes.dll", u"notes.dll", 0},
  };
  const std::string app = (dir / "app.dll").string(), helper = (dir / "helper.dll").string();
  EXPECT_EQ(missing_dll_warnings(files),
            (std::vector<std::string>{
                app + ": imports libstdc++-6.dll, which is neither in the payload nor part of Windows: link that "
                      "runtime statically (for GCC's: -static-libgcc -static-libstdc++, or -static) or --add the DLL",
                app + ": imports zlib1.dll, which the payload holds only as libs\\zlib1.dll, where Windows does not "
                      "look for it: add it at the top (--add PATH=zlib1.dll)",
                helper + ": imports libwinpthread-1.dll, which is neither in the payload nor part of Windows: link "
                         "that runtime statically (for GCC's: -static-libgcc -static-libstdc++, or -static) or --add "
                         "the DLL",
            }));
}

TEST(SearchPathDlls, AddTheWholeChainAtTheTopAndTheWarningsFollowTheToolchainsCopies) {
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll({"run_code"}, {"KERNEL32.dll", "liba.dll"}));
  write_file(dir / "first/liba.dll", pe::synthetic_dll({"a"}, {"libb.dll"}));
  write_file(dir / "first/libb.dll", "not a PE image: passed over for the next folder's");
  write_file(dir / "second/LIBB.DLL", pe::synthetic_dll({"b"}, {"libc.dll", "libd.dll", "msvcrt.dll"}));
  write_file(dir / "tool/libd.dll", pe::synthetic_dll({"d"}, {"libe.dll", "libc.dll"}));
  auto adds = with_search_path_dlls(dir / "app.dll", {}, {dir / "first", dir / "second"});
  ASSERT_TRUE(adds.ok()) << adds.failure().problem;
  ASSERT_EQ(adds->size(), 2u);
  EXPECT_EQ(adds.value()[0].path, dir / "first/liba.dll");
  EXPECT_EQ(adds.value()[1].path, dir / "second/LIBB.DLL");
  auto files = collect_inputs(dir / "app.dll", adds.value());
  ASSERT_TRUE(files.ok()) << files.failure().problem;
  // libc.dll, imported by both LIBB.DLL and the toolchain's libd.dll, is named once.
  const std::string libb = (dir / "second/LIBB.DLL").string(), tool = (dir / "tool").string();
  // A DLL of the user's own is added; one the toolchain holds is a runtime.
  const std::string nowhere =
      ", which is neither in the payload nor part of Windows: --add the DLL, or --search-path the folder that holds "
      "it (it is then added with the DLLs it imports)";
  const std::string runtime =
      ", which is neither in the payload nor part of Windows: link that runtime statically (for GCC's: "
      "-static-libgcc -static-libstdc++, or -static) or --add the DLL";
  EXPECT_EQ(missing_dll_warnings(files.value(), {dir / "tool"}),
            (std::vector<std::string>{
                libb + ": imports libc.dll" + nowhere,
                libb + ": imports libd.dll" + runtime + "; the mingw-w64 toolchain holds it in " + tool +
                    " (--search-path " + tool + ")",
                tool + "/libd.dll: imports libe.dll" + nowhere,
            }));
}

TEST(OutputProblem, RefusesAnOutputThatIsAnInputOrHasNoFolder) {
  ScratchDir dir;
  write_file(dir / "app.dll", "a");
  write_file(dir / "data/x.txt", "x");
  std::filesystem::create_symlink(dir / "app.dll", dir / "link.dll");
  const std::vector<NamedInput> inputs = {{dir / "app.dll", "the application (--app)"},
                                          {dir / "data/x.txt", "the added file x.txt"}};
  auto problem = [&](const std::filesystem::path& output) {
    auto failure = output_problem(output, inputs);
    return failure ? failure->file + ": " + failure->problem : std::string();
  };
  const std::string d = dir.path().string();
  EXPECT_EQ(problem(dir / "app.dll"), d + "/app.dll: is the same file as the application (--app), which packing "
                                          "would overwrite; choose another output");
  EXPECT_EQ(problem(dir / "link.dll"), d + "/link.dll: is the same file as the application (--app), which packing "
                                           "would overwrite; choose another output");
  EXPECT_EQ(problem(dir / "data/../data/x.txt"), d + "/data/../data/x.txt: is the same file as the added file x.txt, "
                                                     "which packing would overwrite; choose another output");
  EXPECT_EQ(problem(dir / "none/out.exe"), d + "/none/out.exe: the folder " + d + "/none does not exist");
  EXPECT_EQ(problem(dir / "app.dll/out.exe"), d + "/app.dll/out.exe: " + d + "/app.dll is not a folder");
  EXPECT_EQ(problem(dir / "data"), d + "/data: is a folder; give the file to write, such as MyApp.exe");
  EXPECT_EQ(problem(dir / "new.exe"), "");
}

// Windows opens the device for such a name, whatever its extension and letter
// case, so the packed program could be neither saved nor run under it.
TEST(OutputProblem, RefusesAWindowsDeviceNameWithAnyExtension) {
  ScratchDir dir;
  const std::string d = dir.path().string();
  struct Case {
    const char* name;
    const char* device;  // nullptr: a file name
  };
  const Case cases[] = {
      {"con.exe", "con"},     {"NUL", "NUL"},           {"com1.txt", "com1"},       {"lpt1", "lpt1"},
      {"Aux.tar.gz", "Aux"},  {"prn .exe", "prn"},      {"conout$.exe", "conout$"}, {"console.exe", nullptr},
      {"com10.exe", nullptr}, {"nul_app.exe", nullptr}, {"x.con", nullptr},
  };
  for (const Case& c : cases) {
    auto failure = output_problem(dir / c.name, {});
    if (c.device == nullptr) {
      EXPECT_FALSE(failure) << c.name << ": " << failure->problem;
      continue;
    }
    ASSERT_TRUE(failure) << c.name;
    EXPECT_EQ(failure->file, d + "/" + c.name);
    EXPECT_EQ(failure->problem, "uses the reserved device name '" + std::string(c.device) +
                                    "': on Windows that name, with any extension, opens the device, not a file; "
                                    "choose another output name")
        << c.name;
  }
}

}  // namespace
}  // namespace vorbel::pack
