// The application's own icon, version information and manifest in a packed
// program, read back under Wine through the system's own functions
// (GetFileVersionInfoW and VerQueryValueW, ExtractIconExW, FindResourceW), and
// the packed program still running with them.
#include <gtest/gtest.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <filesystem>

#include "packer/test_icon.h"
#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kGreen = 0xff00ff00, kRed = 0xffff0000, kBlue = 0xff0000ff;

const char kManifest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
    "  <description>Zeta's own manifest</description>\n"
    "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\n"
    "    <requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\n"
    "  </requestedPrivileges></security></trustInfo>\n"
    "</assembly>\n";

struct ZetaApp {
  ZetaApp() {
    const std::vector<uint8_t> ico = vorbel::pack::testing::solid_icon({{16, kGreen}, {32, kRed}, {48, kBlue}});
    write_file(app.scratch.path() / L"zeta.ico", std::string(ico.begin(), ico.end()));
    write_file(app.scratch.path() / L"zeta.manifest", kManifest);
    app.exe = app.scratch.path() / L"Zeta.exe";
    run_pack({L"build",
              L"--launcher",
              launcher_exe(),
              L"--app",
              sample_app_dll(),
              L"--add",
              sample_helper_dll(),
              L"--icon",
              (app.scratch.path() / L"zeta.ico").wstring(),
              L"--manifest",
              (app.scratch.path() / L"zeta.manifest").wstring(),
              L"--product-name",
              L"Zeta Tool",
              L"--product-version",
              L"3.1-beta",
              L"--file-version",
              L"3.1.4.1",
              L"--company-name",
              L"Zeta Ltd",
              L"--copyright",
              L"\u00a9 2026 Zeta",
              L"-o",
              app.exe.wstring()});
  }
  PackedApp app{sample_app_dll(), false};
};

TEST(PackedResources, VersionInformationReadsBackThroughTheSystem) {
  ZetaApp zeta;
  const std::wstring path = zeta.app.exe.wstring();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_NE(size, 0u) << GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00030001u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00040001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00030001u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);

  struct Translation {
    WORD language, codepage;
  }* translation = nullptr;
  ASSERT_TRUE(
      VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, sizeof(Translation));
  wchar_t table[32];
  swprintf(table, 32, L"\\StringFileInfo\\%04x%04x\\", translation->language, translation->codepage);
  const std::pair<const wchar_t*, std::wstring> expected[] = {
      {L"ProductName", L"Zeta Tool"},     {L"ProductVersion", L"3.1-beta"}, {L"FileVersion", L"3.1.4.1"},
      {L"FileDescription", L"Zeta Tool"}, {L"CompanyName", L"Zeta Ltd"},    {L"LegalCopyright", L"\u00a9 2026 Zeta"},
      {L"OriginalFilename", L"Zeta.exe"}, {L"InternalName", L"Zeta"},
  };
  for (const auto& [key, value] : expected) {
    wchar_t* text = nullptr;
    ASSERT_TRUE(
        VerQueryValueW(info.data(), (std::wstring(table) + key).c_str(), reinterpret_cast<void**>(&text), &length))
        << narrow(key);
    EXPECT_EQ(std::wstring(text), value) << narrow(key);
  }
}

// The colour at the centre of an icon's colour bitmap, as 0xAARRGGBB.
uint32_t centre_colour(HICON icon, LONG* width) {
  ICONINFO parts = {};
  if (!GetIconInfo(icon, &parts)) return 0;
  BITMAP bitmap = {};
  GetObjectW(parts.hbmColor, sizeof bitmap, &bitmap);
  *width = bitmap.bmWidth;
  BITMAPINFO format = {};
  format.bmiHeader = {sizeof(BITMAPINFOHEADER), bitmap.bmWidth, -bitmap.bmHeight, 1, 32, BI_RGB};
  std::vector<uint32_t> pixels(static_cast<size_t>(bitmap.bmWidth) * bitmap.bmHeight);
  HDC screen = GetDC(nullptr);
  GetDIBits(screen, parts.hbmColor, 0, bitmap.bmHeight, pixels.data(), &format, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  DeleteObject(parts.hbmColor);
  DeleteObject(parts.hbmMask);
  return pixels[pixels.size() / 2 + bitmap.bmWidth / 2];
}

TEST(PackedResources, TheIconIsTheApplicationsOwn) {
  ZetaApp zeta;
  const std::wstring path = zeta.app.exe.wstring();
  EXPECT_EQ(ExtractIconExW(path.c_str(), -1, nullptr, nullptr, 0), 1u) << "one icon group";
  HICON large = nullptr;
  ASSERT_EQ(ExtractIconExW(path.c_str(), 0, &large, nullptr, 1), 1u);
  LONG width = 0;
  const uint32_t colour = centre_colour(large, &width);
  DestroyIcon(large);
  EXPECT_EQ(width, GetSystemMetrics(SM_CXICON));
  if (width == 32) EXPECT_EQ(colour & 0xffffff, kRed & 0xffffff);

  // Each size asked for is the image of that size in the .ico, as the system's own lookup chooses it.
  HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << GetLastError();
  for (auto [size, expected] : {std::pair{16, kGreen}, std::pair{32, kRed}, std::pair{48, kBlue}}) {
    HICON icon = static_cast<HICON>(LoadImageW(image, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
    ASSERT_NE(icon, nullptr) << size;
    EXPECT_EQ(centre_colour(icon, &width) & 0xffffff, expected & 0xffffff) << size;
    EXPECT_EQ(width, size);
    DestroyIcon(icon);
  }
  FreeLibrary(image);
}

TEST(PackedResources, TheManifestIsTheApplicationsOwnAndTheProgramStillRuns) {
  ZetaApp zeta;
  HMODULE image =
      LoadLibraryExW(zeta.app.exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << GetLastError();
  HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
  EXPECT_EQ(std::string(bytes, SizeofResource(image, found)), kManifest);
  FreeLibrary(image);

  ProcessResult result = zeta.app.run({L"--exit", L"7"});
  EXPECT_EQ(result.exit_code, 7u) << result.out << result.err;
  EXPECT_TRUE(zeta.app.left_in_temp().empty());
}

}  // namespace
