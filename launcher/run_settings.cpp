// The settings record in use and run_code's arguments; see run_settings.h.
// The texts are sized in a first pass and written in a second into blocks of
// exactly that size, through the bounded cursor: {CONTENTS} may stand for a
// path of thousands of units, any number of times.
#include "launcher/run_settings.h"

#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/error_dialog.h"
#include "common/error_report.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_progress.h"
#include "launcher/command_line_split.h"
#include "payload/launch_settings.h"

namespace {

LaunchSettings settings = {0, 0, nullptr, 0, {}, {}, {}};

// Counts units and argument ends, or writes them through the cursor (when
// writing is set): the same walk for both passes.
struct ArgumentText {
  bool writing;
  TextCursor cursor;
  size_t units;  // NULs that end arguments included
  size_t count;
};

void put_unit(ArgumentText* text, wchar_t unit) {
  if (text->writing) text_append_unit(&text->cursor, unit);
  ++text->units;
}

void take_settings_unit(void* context, uint16_t unit) { put_unit(static_cast<ArgumentText*>(context), unit); }

void take_contents(void* context) {
  for (const wchar_t* unit = extraction_dir; *unit != L'\0'; ++unit)
    put_unit(static_cast<ArgumentText*>(context), *unit);
}

void take_end(void* context) {
  ArgumentText* text = static_cast<ArgumentText*>(context);
  put_unit(text, L'\0');
  ++text->count;
}

void take_line_unit(void* context, CommandLineUnit unit) { put_unit(static_cast<ArgumentText*>(context), unit); }

void* allocate(size_t bytes) {
  void* block = system_calls.malloc(bytes);
  if (block == nullptr) fatal_error("Error, couldn't allocate memory.");
  return block;
}

// Runs walk twice: once to size the text, once to write it into a block of
// that size. Returns the block: count NUL-ended arguments, one after another.
wchar_t* gather(void (*walk)(ArgumentText* text), size_t* count) {
  ArgumentText text = {false, {}, 0, 0};
  walk(&text);
  wchar_t* block = static_cast<wchar_t*>(allocate((text.units + 1) * sizeof(wchar_t)));
  text = ArgumentText{true, text_start(block, text.units + 1), 0, 0};
  walk(&text);
  *count = text.count;
  return block;
}

void walk_built_in(ArgumentText* text) {
  const SettingsSink sink = {text, take_settings_unit, take_contents, take_end};
  expand_launch_arguments(&settings, &sink);
}

void walk_command_line(ArgumentText* text) {
  const ArgumentSink sink = {text, take_line_unit, take_end};
  // Argument 0 is never the user's: a re-launched instance's line starts with
  // the launcher's path, and a cached start replaces whatever its caller put
  // there (run_cached), so the program path given for an empty one is unused.
  split_command_line(system_calls.GetCommandLineW(), L"", &sink);
}

// The pointers into a block of count NUL-ended arguments.
void point_at(wchar_t** slots, wchar_t* block, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    slots[i] = block;
    block += wcslen(block) + 1;
  }
}

}  // namespace

void use_launch_settings(const uint8_t* record, size_t size) {
  settings = LaunchSettings{0, 0, nullptr, 0, {}, {}, {}};
  error_dialog_enabled = false;
  unpack_progress_style = PROGRESS_NONE;
  if (size == 0) return;
  if (read_launch_settings(record, size, &settings) != SETTINGS_OK) {
    fatal_error("Error, the packed program's settings are damaged.");
  }
  error_dialog_enabled = (settings.flags & LAUNCH_ERROR_DIALOG) != 0;
  if ((settings.flags & LAUNCH_PROGRESS_WINDOW) != 0) unpack_progress_style = PROGRESS_WINDOW;
  if ((settings.flags & LAUNCH_PROGRESS_LINE) != 0) unpack_progress_style = PROGRESS_LINE;
}

void load_launch_settings() {
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(LAUNCH_SETTINGS_RESOURCE_ID),
                                 MAKEINTRESOURCEW(LAUNCH_SETTINGS_RESOURCE_TYPE));
  if (resource == nullptr) return;
  const uint8_t* record = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, resource)));
  DWORD size = SizeofResource(nullptr, resource);
  // A record that is there but empty is damaged, not absent.
  if (record == nullptr || size == 0) fatal_error("Error, the packed program's settings are damaged.");
  use_launch_settings(record, size);
}

namespace {

void widen_text(const SettingsText& text, wchar_t* out) {
  for (size_t i = 0; i < text.count; ++i) {
    out[i] = static_cast<wchar_t>(launch_settings_unit(text.units_le, i));
  }
  out[text.count] = L'\0';
}

}  // namespace

bool cached_mode_wanted(CacheChoice* choice) {
  if ((settings.flags & LAUNCH_CACHED) == 0) return false;
  // The reader has bounded every text by its field's capacity.
  widen_text(settings.application, choice->application);
  widen_text(settings.bundle_id, choice->bundle_id);
  widen_text(settings.cache_root, choice->root);
  if (choice->root[0] == L'\0') {
    for (size_t i = 0; LAUNCH_DEFAULT_CACHE_ROOT[i] != u'\0'; ++i) choice->root[i] = LAUNCH_DEFAULT_CACHE_ROOT[i];
    choice->root[sizeof LAUNCH_DEFAULT_CACHE_ROOT / sizeof LAUNCH_DEFAULT_CACHE_ROOT[0] - 1] = L'\0';
  }
  return true;
}

bool exact_arguments_wanted() { return (settings.flags & LAUNCH_EXACT_ARGUMENTS) != 0; }

wchar_t** application_arguments(int* count, bool drop_empty) {
  size_t built_in_count = 0;
  wchar_t* built_in = settings.argument_count == 0 ? nullptr : gather(walk_built_in, &built_in_count);
  size_t user_count = static_cast<size_t>(__argc);
  wchar_t* split = nullptr;
  if (exact_arguments_wanted()) split = gather(walk_command_line, &user_count);
  drop_empty = drop_empty && split == nullptr;
  if (built_in == nullptr && split == nullptr && !drop_empty) {
    *count = __argc;
    return __wargv;
  }
  // user_count includes argument 0, which goes first.
  size_t total = built_in_count + user_count;
  wchar_t** arguments = static_cast<wchar_t**>(allocate((total + 1) * sizeof(wchar_t*)));
  wchar_t** user = arguments + built_in_count;  // argument 0 here, moved to the front below
  if (split != nullptr) {
    point_at(user, split, user_count);
  } else {
    size_t kept = 0;
    for (size_t i = 0; i < user_count; ++i) {
      if (i == 0 || !drop_empty || __wargv[i][0] != L'\0') user[kept++] = __wargv[i];
    }
    total -= user_count - kept;
  }
  wchar_t* program = user[0];
  point_at(arguments + 1, built_in, built_in_count);
  arguments[0] = program;
  arguments[total] = nullptr;
  *count = static_cast<int>(total);
  return arguments;
}
