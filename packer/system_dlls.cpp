// The table of Windows' own DLLs; see system_dlls.h. Runtimes that ship with
// compilers rather than with Windows (libgcc_s_seh-1, libstdc++-6,
// libwinpthread-1, vcruntime140, msvcp140 ...) are deliberately absent: an
// application that imports them must carry them or link them in.
#include "packer/system_dlls.h"

#include <algorithm>
#include <array>
#include <string>

namespace vorbel::pack {
namespace {

// Lower case, sorted, so the lookup is a binary search.
constexpr std::array<std::string_view, 118> kSystemDlls = {
    "activeds.dll",      "advapi32.dll",    "advpack.dll",
    "authz.dll",         "avicap32.dll",    "avifil32.dll",
    "avrt.dll",          "bcrypt.dll",      "bcryptprimitives.dll",
    "cabinet.dll",       "cfgmgr32.dll",    "clusapi.dll",
    "combase.dll",       "comctl32.dll",    "comdlg32.dll",
    "credui.dll",        "crypt32.dll",     "cryptbase.dll",
    "cryptnet.dll",      "cryptui.dll",     "d2d1.dll",
    "d3d10.dll",         "d3d10_1.dll",     "d3d11.dll",
    "d3d12.dll",         "d3d9.dll",        "d3dcompiler_47.dll",
    "dbgeng.dll",        "dbghelp.dll",     "dcomp.dll",
    "ddraw.dll",         "devobj.dll",      "dhcpcsvc.dll",
    "dinput8.dll",       "dnsapi.dll",      "dsound.dll",
    "dwmapi.dll",        "dwrite.dll",      "dxgi.dll",
    "dxva2.dll",         "esent.dll",       "evr.dll",
    "fltlib.dll",        "gdi32.dll",       "gdiplus.dll",
    "glu32.dll",         "hid.dll",         "imagehlp.dll",
    "imm32.dll",         "iphlpapi.dll",    "kernel32.dll",
    "kernelbase.dll",    "ksuser.dll",      "mf.dll",
    "mfplat.dll",        "mfreadwrite.dll", "mgmtapi.dll",
    "mpr.dll",           "msacm32.dll",     "mscms.dll",
    "mscoree.dll",       "msctf.dll",       "msi.dll",
    "msimg32.dll",       "msvcrt.dll",      "mswsock.dll",
    "ncrypt.dll",        "netapi32.dll",    "normaliz.dll",
    "ntdll.dll",         "ntdsapi.dll",     "odbc32.dll",
    "ole32.dll",         "oleacc.dll",      "oleaut32.dll",
    "opengl32.dll",      "pdh.dll",         "powrprof.dll",
    "propsys.dll",       "psapi.dll",       "rasapi32.dll",
    "rpcrt4.dll",        "rstrtmgr.dll",    "sechost.dll",
    "secur32.dll",       "setupapi.dll",    "shcore.dll",
    "shell32.dll",       "shlwapi.dll",     "sspicli.dll",
    "t2embed.dll",       "tbs.dll",         "ucrtbase.dll",
    "urlmon.dll",        "user32.dll",      "userenv.dll",
    "usp10.dll",         "uxtheme.dll",     "version.dll",
    "virtdisk.dll",      "webservices.dll", "win32u.dll",
    "windowscodecs.dll", "winhttp.dll",     "wininet.dll",
    "winmm.dll",         "winscard.dll",    "winspool.drv",
    "wintrust.dll",      "winusb.dll",      "wlanapi.dll",
    "wldap32.dll",       "ws2_32.dll",      "wsock32.dll",
    "wtsapi32.dll",      "xinput1_4.dll",   "xinput9_1_0.dll",
    "xmllite.dll",
};

static_assert(std::is_sorted(kSystemDlls.begin(), kSystemDlls.end()));

// API sets: names the loader maps to whatever DLL implements them.
constexpr std::array<std::string_view, 2> kSystemFamilies = {"api-ms-win-", "ext-ms-"};

}  // namespace

bool is_system_dll(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  for (std::string_view family : kSystemFamilies)
    if (lower.starts_with(family)) return true;
  // Imports may name a DLL without its extension; the loader then appends ".dll".
  if (lower.find('.') == std::string::npos) lower += ".dll";
  return std::binary_search(kSystemDlls.begin(), kSystemDlls.end(), lower);
}

}  // namespace vorbel::pack
