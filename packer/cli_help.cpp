// The help of vorbel-pack: the usage lines shown with every usage error, the
// text of --help, and each command's own help (COMMAND --help), all made of
// the same sections. Text only: the options themselves are parsed in
// pack_options.cpp, and a change to one belongs in both.
#include <array>
#include <initializer_list>
#include <string>
#include <string_view>

#include "packer/cli_commands.h"

namespace vorbel::pack::cli {
namespace {

// Each command's usage, after "usage: " or its indent.
constexpr std::string_view kBuildUsage =
    "vorbel-pack build [--launcher LAUNCHER.exe] --app APP.dll [--add PATH[=NAME]]...\n"
    "                         [--exclude PATTERN]... [--level N] [--long[=WLOG]] [--threads N]\n"
    "                         [--search-path DIR]... [--strict] [--console] [RUN OPTIONS] [RESOURCE OPTIONS]\n"
    "                         -o OUT.exe\n";
constexpr std::string_view kEmbedUsage =
    "vorbel-pack embed [--launcher LAUNCHER.exe] --payload FILE [--console] [RUN OPTIONS] [RESOURCE OPTIONS]\n"
    "                         -o OUT.exe\n";
constexpr std::string_view kListUsage = "vorbel-pack list PACKED.exe\n";
constexpr std::string_view kVerifyUsage = "vorbel-pack verify PACKED.exe\n";
constexpr std::string_view kExtractUsage = "vorbel-pack extract PACKED.exe DIR\n";
constexpr std::string_view kCacheUsage = "vorbel-pack cache list|clean [PACKED.exe]\n";
constexpr std::string_view kIndent = "       ";  // as wide as "usage: "

// The sections of the help, each ending with its last line.
constexpr std::string_view kIntro = R"(Packs an application into a copy of the launcher, or inspects a packed one.
Each command has a help of its own: vorbel-pack COMMAND --help (or -h).
An argument @FILE stands for the lines of FILE, one argument each (UTF-8, no
quoting; an empty line is an empty argument); @@TEXT is the argument @TEXT.
)";
constexpr std::string_view kBuild = R"(build     Makes OUT.exe: the launcher with a payload of files. APP.dll comes
          first, under its own file name; then every file given with --add, in
          ordinal order of their UTF-16 names, so the same inputs always give
          the same bytes (no time stamps are stored).
  --add PATH         a file under its own name, or a directory's files under
                     the directory's name ("--add assets" gives assets\...)
  --add PATH=NAME    the same under NAME; for a directory, NAME "." or ""
                     puts its files at the top. '/' and '\' both separate
                     components. The last '=' splits, so a PATH containing
                     '=' needs an explicit NAME. A NAME ending in a
                     separator means into that folder: "notes.txt=docs/"
                     gives docs\notes.txt.
  --exclude PATTERN  leave out the added files whose entry names match
                     (repeatable; never APP.dll). '*' matches within one
                     component, '?' one character, '**' across components,
                     "**/" none or more whole components; the whole name
                     must match, letter case ignored: "**/*.pdb" anywhere,
                     "*.pdb" at the top only, "share/doc/**" a folder.
                     A folder that matches is not even listed. A pattern
                     that leaves nothing out gets a warning.
  --level N          compression level 1-22 (default 19); 20-22 make the
                     launcher's decoder reserve 32-128 MiB (at most the
                     payload's size), as --long does
  --long[=WLOG]      long-distance matching with a window of 2^WLOG bytes,
                     WLOG 10-27 (default 27). Smaller files, but the launcher's
                     decoder then needs up to that window (or the payload's
                     size if smaller) in memory at every start.
  --threads N        compression threads, 1-200 (default: all hardware
                     threads); up to level 19 fewer when more would pass
                     256 MiB of memory; the output is the same for every N
  --search-path DIR  a folder to take missing DLLs from (repeatable, looked
                     in in the order given): each DLL that APP.dll or a DLL
                     of the payload imports and that neither Windows nor the
                     payload provides is added at the top from the first
                     folder that holds it, and its own imports in turn
  --strict           a DLL still missing is an error, not a warning: nothing
                     is written
  --console          make OUT.exe a console program (build and embed): a
                     console starts or is shared, cmd.exe waits for it, and
                     the application's standard streams are the console's
  --launcher FILE    the launcher to pack into (default: launcher.exe beside
                     vorbel-pack, else ../share/vorbel/launcher.exe from it)

          Before packing, APP.dll must be an x86-64 DLL that exports run_code;
          each DLL that APP.dll or a DLL of the payload imports and that neither
          Windows nor the payload provides is named in a warning (with the
          mingw-w64 toolchain folder that holds it, if any), and so are names
          whose unpacked paths would pass Windows' 260-unit limit under a
          typical %TEMP%. OUT.exe must not be the launcher, APP.dll or an added
          file.
)";
constexpr std::string_view kEmbed = R"(embed     Makes OUT.exe from a payload resource made before ("VUQ" followed by
          a Zstandard frame), taken as is; a frame without a content checksum
          gets a warning.
)";
constexpr std::string_view kList = R"(list      Prints size and name of every entry, then the subsystem (GUI or
          console) and the settings record (or "settings: none"), with a
          "cache:" line for the cached mode.
)";
constexpr std::string_view kExtract = R"(extract   Unpacks every entry into DIR (created if missing, must be empty).
)";
constexpr std::string_view kVerify = R"(verify    Reads every entry, checks every name and the frame's checksum, and
          reports the window the launcher's decoder will need, the subsystem
          and the settings record. A frame without a checksum passes with a
          warning, and so do bytes decoded after the end marker: the launcher
          runs both. For the cached mode the bundle id must be the payload's
          own; another one is a damaged image.
)";
constexpr std::string_view kCache = R"(cache     The cached mode's folders (--cache), in the Windows build tool only:
          of PACKED.exe (the root and application folder its settings record
          names, with .2 to .8 beside it), or without it of every program
          below the default root, %LOCALAPPDATA%. Only the current user's own
          bundles and working directories, never through a link.
  list               prints each application folder and its bundles and
                     working directories with their sizes in bytes
  clean              removes them, and each application folder left empty;
                     one that a running program uses stays and is named, and
                     the exit status is then 1. A packed program removes its
                     own cache too when started with
                     VORBEL_ONEFILE_REMOVE_CACHE=1.
)";
constexpr std::string_view kRunOptions = R"(Run options (build and embed): kept in the packed program's settings record
(RT_RCDATA 28), which list and verify show; a launcher built before the record
cannot take them.
  --arg TEXT         a fixed argument put before the user's (repeatable, in
                     order; at most 64). {CONTENTS} in TEXT stands for the
                     extraction directory, {{ and }} for literal braces; any
                     other brace is refused. Nothing else is expanded: the
                     application gets TEXT exactly, wildcards included.
  --exact-arguments  the user's arguments reach the application exactly as
                     CommandLineToArgvW splits the command line: empty ones
                     kept, wildcards not expanded
  --error-dialog     a GUI program (not with --console) also shows the
                     launcher's own errors in a message box, when it runs on
                     a desktop someone sees (never in a service or a
                     scheduled task)
  --progress-window  a GUI program (not with --console) shows a small window
                     with its icon, product name and a progress bar when
                     unpacking takes longer than half a second; it closes
                     before the application starts. Needs a launcher that
                     reads settings version 3.
  --progress         the same for a console program (--console): one line
                     on standard error, rewritten in place and erased before
                     the application starts; nothing when standard error is
                     not a console. Needs settings version 3.
  --cache            extract once: the first start unpacks into a kept,
                     per-user folder ROOT\APPLICATION\BUNDLE and later starts
                     run from there without unpacking. APPLICATION is the
                     --product-name text, else OUT.exe's name without .exe;
                     BUNDLE is a hash of the payload, so a changed payload
                     gets a folder of its own. Needs a launcher that reads
                     settings version 2.
  --cache-dir SPEC   ROOT for --cache (default {CACHE_DIR}, the user's local
                     application data): an absolute directory spec that
                     begins with {CACHE_DIR}, {HOME}, {TEMP}, {PROGRAM_DIR},
                     a drive (C:\) or \\server\share, and may use {PRODUCT},
                     {VERSION}, {PROGRAM_BASE} and the rest of the launcher's
                     names, but not {PID} or {TIME}
)";
constexpr std::string_view kResourceOptions = R"(Resource options (build and embed): the packed program's own face.
  --icon FILE.ico    every image of FILE.ico replaces the launcher's icon
  --manifest FILE    FILE (UTF-8 XML) replaces the launcher's manifest
  --product-name TEXT, --product-version TEXT, --file-version TEXT,
  --file-description TEXT, --company-name TEXT, --copyright TEXT,
  --original-filename TEXT, --internal-name TEXT
                     strings of the version resource; a version's leading
                     numbers ("2.1" is 2.1.0.0) also go into its fixed part.
                     OriginalFilename is OUT.exe's name and InternalName its
                     stem unless given; FileDescription follows the product
                     name and FileVersion the product version unless given.
)";
constexpr std::string_view kLimits = R"(Every bad name is reported in one run (the first 20, then a count).
A packed program must stay below 2 GiB, the most Windows loads: an input too
large even for the best compression is refused at once, and compression
stops as soon as its output alone has passed that size.
)";
constexpr std::string_view kNames = R"(Files and names: only files are stored; empty directories are not kept.
Symbolic links are followed and stored under the link's own name; a link back
to a directory it is inside, a broken link, devices, pipes and sockets are
refused, as is any file that cannot be read. Host names must be UTF-8. Entry names must be names Windows
can hold: at most 1023 UTF-16 units, relative, no empty, "." or ".."
components, none of < > : " | ? * or control characters, no component made
only of dots and blanks or ending in one, no device name (CON, PRN, AUX, NUL,
COM1-9, LPT1-9, CONIN$, CONOUT$, with or without extension), no two names for
one file and no file where another name needs a directory. Names are compared
ignoring case for ASCII, Latin-1, Latin Extended-A and Additional, Greek,
Cyrillic, Armenian and fullwidth letters; other scripts are compared exactly.
)";
constexpr std::string_view kSignature = R"(A signed launcher loses its signature: sign OUT.exe after packing.
)";
constexpr std::string_view kExitStatus = R"(Exit status: 0 done, 1 bad input (one line names the file), 2 usage error.
)";

// A blank line between sections, as the full help sets them.
std::string joined(std::initializer_list<std::string_view> sections) {
  std::string text;
  for (std::string_view section : sections) text += std::string(text.empty() ? "" : "\n") + std::string(section);
  return text;
}

struct CommandHelp {
  std::string_view command;
  std::string_view usage;
  std::string text;  // after the usage and a blank line
};

const std::array<CommandHelp, 6>& command_helps() {
  static const std::array<CommandHelp, 6> helps = {{
      {"build", kBuildUsage,
       joined({kBuild, kRunOptions, kResourceOptions, kLimits, kNames,
               std::string(kSignature) + std::string(kExitStatus)})},
      {"embed", kEmbedUsage,
       joined({kEmbed, kRunOptions, kResourceOptions, std::string(kSignature) + std::string(kExitStatus)})},
      {"list", kListUsage, joined({kList, kExitStatus})},
      {"extract", kExtractUsage, joined({kExtract, kExitStatus})},
      {"verify", kVerifyUsage, joined({kVerify, kExitStatus})},
      {"cache", kCacheUsage, joined({kCache, kExitStatus})},
  }};
  return helps;
}

}  // namespace

std::string_view usage_text() {
  static const std::string usage = "usage: " + std::string(kBuildUsage) + std::string(kIndent) +
                                   std::string(kEmbedUsage) + std::string(kIndent) +
                                   "vorbel-pack list|verify PACKED.exe\n" + std::string(kIndent) +
                                   std::string(kExtractUsage) + std::string(kIndent) + std::string(kCacheUsage);
  return usage;
}

std::string_view help_text() {
  static const std::string help = "\n" + joined({kIntro, kBuild,
                                                 std::string(kEmbed) + std::string(kList) + std::string(kExtract) +
                                                     std::string(kVerify) + std::string(kCache),
                                                 kRunOptions, kResourceOptions, kLimits, kNames,
                                                 std::string(kSignature) + std::string(kExitStatus)});
  return help;
}

std::string command_help_text(std::string_view command) {
  for (const CommandHelp& help : command_helps()) {
    if (help.command == command) return "usage: " + std::string(help.usage) + "\n" + help.text;
  }
  return "";
}

}  // namespace vorbel::pack::cli
