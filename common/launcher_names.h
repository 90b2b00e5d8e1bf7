// The names the launcher makes on disk and recognises there, and the few path
// rules that the launcher, its sweep and the build tool must read alike: each
// written once, here. Portable: plain functions over UTF-16 units, no platform
// headers, no allocation. Tested by launcher_names_test.cpp; the parsers are
// fuzzed (fuzz/launcher_names_fuzz.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// A fresh run's extraction directory, as a directory spec. Its name's fixed
// start is counted by the build tool in the longest path an entry may reach.
constexpr char16_t EXTRACTION_DIR_SPEC[] = u"{TEMP}\\onefile_{PID}_{TIME}";
constexpr char16_t EXTRACTION_DIR_PREFIX[] = u"onefile_";

// A cached first start's working directory, beside the bundles, in the form
// the sweep knows: it is renamed to the bundle's name when it is whole.
constexpr char16_t WORKING_DIR_FORM[] = u"unpacking_{PID}_{TIME}";
constexpr char16_t WORKING_DIR_PREFIX[] = u"unpacking_";

// The file that every process using an extraction directory holds open, at
// the directory's top; no payload entry may take its name there. A name that
// fits 8.3 and is all lower case gets no second, short name on Windows, so no
// other entry name can open it by that.
constexpr char16_t DIRECTORY_LOCK_NAME[] = u"vorbel.lck";

// The record of what a kept bundle directory must hold, at its top in the
// cached mode: no entry of such a payload may take its name. 8.3 and all
// lower case, like the lock's.
constexpr char16_t BUNDLE_RECORD_NAME[] = u"vorbel.lst";

// A bundle's id: lower-case hex digits, a hash of the payload. Its folder is
// named by the id; beside one that cannot be used (someone else's, damaged
// and in use) the names go on with ".2" up to ".8".
constexpr size_t BUNDLE_ID_UNITS = 16;
constexpr int BUNDLE_FOLDER_NAMES = 8;

// Whether name (NUL-terminated) is a bundle folder's: the id's form, maybe
// with "." and one or two digits after it.
bool is_bundle_folder_name(const char16_t* name);
bool is_bundle_folder_name(const wchar_t* name);

// Whether name has the form of a directory spec's last component (form): its
// literal units as they stand, {PID} and {TIME} as decimal digits, each once
// (*pid and *time then hold them), {PID} not 0 and without leading zeros, as
// the launcher writes it ({TIME} may be inherited with zeros). Anything that could not be told apart for
// certain (another reference, a reference followed by a digit or by another
// reference) makes no name match.
bool name_has_form(const char16_t* form, const char16_t* name, uint64_t* pid, uint64_t* time);
bool name_has_form(const wchar_t* form, const wchar_t* name, uint64_t* pid, uint64_t* time);

// The shortest plain paths (not "\\?\") that Windows refuses while long
// paths are not enabled (the LongPathsEnabled policy, off by default): for a
// file MAX_PATH, as the NUL counts too; for a new directory 12 units less, to
// leave room for an 8.3 name below it.
constexpr size_t PLAIN_FILE_PATH_LIMIT = 260;
constexpr size_t PLAIN_DIRECTORY_PATH_LIMIT = PLAIN_FILE_PATH_LIMIT - 12;

// A FILETIME's two halves as one count of 100 ns since 1601.
constexpr uint64_t filetime_ticks(uint32_t high, uint32_t low) { return (static_cast<uint64_t>(high) << 32) | low; }

enum AbsolutePath {
  NOT_ABSOLUTE,
  DRIVE_PATH,    // "X:\..." (or "X:/...")
  NETWORK_PATH,  // "\\server\share...": a server name, then a share name
  DEVICE_PATH,   // "\\?\..." or "\\.\...": taken literally by Windows
};

// What kind of absolute path path (NUL-terminated) begins with; "/" counts
// as a separator wherever Windows takes it for one.
AbsolutePath absolute_path_kind(const char16_t* path);
AbsolutePath absolute_path_kind(const wchar_t* path);

// The references a directory spec may hold, without braces, in upper case.
// Those that expand to an absolute path begin an absolute spec.
enum SpecReferenceId {
  SPEC_TEMP,
  SPEC_PROGRAM,
  SPEC_PROGRAM_BASE,
  SPEC_PROGRAM_DIR,
  SPEC_HOME,
  SPEC_CACHE_DIR,
  SPEC_PRODUCT,
  SPEC_VERSION,
  SPEC_PID,
  SPEC_TIME,
};
struct SpecReference {
  const char16_t* name;
  SpecReferenceId id;
  bool absolute;
};
constexpr SpecReference SPEC_REFERENCES[] = {
    {u"TEMP", SPEC_TEMP, true},
    {u"PROGRAM", SPEC_PROGRAM, false},
    {u"PROGRAM_BASE", SPEC_PROGRAM_BASE, false},
    {u"PROGRAM_DIR", SPEC_PROGRAM_DIR, true},
    {u"HOME", SPEC_HOME, true},
    {u"CACHE_DIR", SPEC_CACHE_DIR, true},
    {u"PRODUCT", SPEC_PRODUCT, false},
    {u"VERSION", SPEC_VERSION, false},
    {u"PID", SPEC_PID, false},
    {u"TIME", SPEC_TIME, false},
};

// The entry of SPEC_REFERENCES that name (length units, ASCII letter case
// ignored) is, or null.
const SpecReference* find_spec_reference(const char16_t* name, size_t length);
const SpecReference* find_spec_reference(const wchar_t* name, size_t length);

// The launcher's own text is wchar_t, 16 bits on Windows: the same units.
#if defined(_WIN32)
static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");
inline const wchar_t* as_wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
#endif
