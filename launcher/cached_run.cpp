// The cached mode's run; see cached_run.h. The bundle lies at
// <root>\<application>\<bundle id>; a first start unpacks into a working
// directory beside it ("unpacking_<pid>_<time>", the form the sweep knows)
// and renames it into place, so that a bundle is whole or absent, never half
// made; when the rename cannot be made it runs from the working directory,
// which a later start renames. A start unpacks once at most, and first starts
// of one bundle at once unpack once between them: the one that holds the
// application folder's "<id>.unpacking" unpacks, the others wait for it.
// Every process that runs from a bundle holds its lock: that alone keeps a
// later sweep from removing it. Each start stamps the lock it holds with the
// time of its use, by which the sweep keeps the most recently used bundles of
// the folder; that stamp is the only write of a later start.
#include "launcher/cached_run.h"

#include <windows.h>

#include "common/bounded_text.h"
#include "common/decimal_text.h"
#include "common/directory_check.h"
#include "common/error_report.h"
#include "common/launcher_names.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "launcher/cache_removal.h"
#include "launcher/child_launch.h"
#include "launcher/detached_sweeper.h"
#include "launcher/relaunch.h"
#include "launcher/run_settings.h"
#include "launcher/unpacking_lock.h"
#include "paths/env_access.h"
#include "paths/exe_path.h"
#include "paths/path_spec.h"
#include "payload/bundle_directory.h"
#include "payload/closing_pool.h"
#include "payload/directory_lock.h"
#include "payload/directory_maker.h"
#include "payload/payload_reader.h"
#include "payload/private_directory.h"
#include "payload/unpack_payload.h"
#include "shutdown/leftover_sweep.h"
#include "shutdown/locked_removal.h"

namespace {

// A first start that loses its rename looks at the winner's bundle again;
// a bundle taken away between its check and its lock is looked at again.
constexpr int BUNDLE_STEPS = 3 * BUNDLE_FOLDER_NAMES;

wchar_t cache_root[PATH_CAPACITY];
wchar_t application_dir[PATH_CAPACITY];
wchar_t bundle_dir[PATH_CAPACITY];
wchar_t working_dir[PATH_CAPACITY];
wchar_t working_lock[PATH_CAPACITY];
SweepForm cache_form;

// parent\name, with ".n" after the name from the second on; false when it
// does not fit.
bool name_folder(wchar_t* out, const wchar_t* parent, const wchar_t* name, int number) {
  TextCursor path = text_start(out, PATH_CAPACITY);
  if (!text_try_join_path(&path, parent, name)) return false;
  if (number == 1) return true;
  return text_try_append_unit(&path, L'.') && text_try_append_decimal(&path, static_cast<uint64_t>(number));
}

// Makes path for this user alone, its missing parents as they come.
bool make_own_directory(const wchar_t* path) {
  unsigned long error = 0;
  PrivateDirectory made = create_private_directory(path, &error);
  if (made == PRIVATE_DIRECTORY_FAILED) {
    create_directory_path(path);
    made = create_private_directory(path, &error);
  }
  return made == PRIVATE_DIRECTORY_READY;
}

// Only the user, SYSTEM and Administrators may rename, delete or take over
// a folder the bundles lie below: anyone else could swap in a tree of their
// own, with a record and DLLs of the recorded sizes, between a start's check
// and its lock. A root or application folder open to others (a folder made
// on a second drive, where Authenticated Users may modify; a share; a FAT
// volume, which keeps no ACLs; a synced folder's placeholder) is not used:
// the run unpacks into TEMP, as when there is no root.
bool guarded(HANDLE directory, VolumeCheck volume) {
  PSID user = current_user_sid();
  return user != nullptr && directory_guard(directory, user, volume) == DIRECTORY_GUARDED;
}

// Asked while the checked root is held open, which keeps the root and every
// folder above it from being renamed: the application folder, a directory
// opened as itself (no link, no mount point), lies on the root's volume.
bool application_dir_guarded() {
  HANDLE opened = INVALID_HANDLE_VALUE;
  if (open_directory_itself(application_dir, READ_CONTROL | FILE_READ_ATTRIBUTES, &opened) != DIRECTORY_OPENED) {
    return false;
  }
  bool usable = guarded(opened, ON_CHECKED_VOLUME);
  system_calls.CloseHandle(opened);
  return usable;
}

// The checked root, open without FILE_SHARE_DELETE until the bundle's lock
// is held: neither the root nor a folder above it can be renamed meanwhile
// (NTFS refuses to rename a folder with an open handle below it), so the
// tree a start checks is the tree it locks and loads from. The lock then
// pins it for the run.
HANDLE root_hold = INVALID_HANDLE_VALUE;

// Through a link the root is the folder it leads to, which is checked. The
// listing right takes part in the share check (attribute and READ_CONTROL
// rights alone do not), so that a rename, which asks for DELETE, is refused.
HANDLE open_root() {
  wchar_t long_form[LONG_PATH_CAPACITY];
  return system_calls.CreateFileW(
      long_path_form(cache_root, long_form), FILE_LIST_DIRECTORY | READ_CONTROL | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void release_root() {
  if (root_hold == INVALID_HANDLE_VALUE) return;
  system_calls.CloseHandle(root_hold);
  root_hold = INVALID_HANDLE_VALUE;
}

// The root as opened is a directory, and guarded.
bool usable_root(HANDLE opened) {
  FILE_BASIC_INFO information;
  return system_calls.GetFileInformationByHandleEx(opened, FileBasicInfo, &information, sizeof information) &&
         (information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && guarded(opened, READ_VOLUME_FLAGS);
}

// The root is used as it stands when it exists (a user's own choice, or the
// system's folder) and is guarded; only a root this run makes gets the
// user-only DACL.
bool settle_root(const CacheChoice* choice) {
  if (!expand_cache_root(choice, cache_root)) return false;
  HANDLE opened = open_root();
  if (opened == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || !make_own_directory(cache_root)) {
      return false;
    }
    opened = open_root();
    if (opened == INVALID_HANDLE_VALUE) return false;
  }
  if (!usable_root(opened)) {
    system_calls.CloseHandle(opened);
    return false;
  }
  root_hold = opened;
  return true;
}

// The application folder's numbered names, in turn: the first that is the
// user's own and guarded serves. A missing one is made when make_missing is
// set; otherwise the walk ends there, as nothing of the application can lie
// further on (a start would have made that one).
bool settle_application_dir(const CacheChoice* choice, bool make_missing) {
  for (int number = 1; number <= BUNDLE_FOLDER_NAMES; ++number) {
    if (!name_folder(application_dir, cache_root, choice->application, number)) return false;
    switch (check_own_directory(application_dir)) {
      case OWN_DIRECTORY:
        if (application_dir_guarded()) return true;
        break;
      case NO_DIRECTORY:
        if (!make_missing) return false;
        if (make_own_directory(application_dir)) return true;
        // Another start may have made it meanwhile, or someone else.
        if (check_own_directory(application_dir) == OWN_DIRECTORY) return true;
        break;
      case FOREIGN_DIRECTORY:
        break;
      case UNREADABLE_DIRECTORY:
        return false;
    }
  }
  return false;
}

// A rename refused because a file below the working directory is held (a
// scanner reads each file as it is closed; an indexer or a backup may open
// it) is tried again after pauses of 10, 20, 40 ... 1280 ms: 2.55 s at most.
// A scanner holds a small file for 1-10 ms and a large one longer, as it
// reads it whole; past the bound the start loses little by giving up, as it
// runs from its working directory, which is whole, and a later start renames
// that into place.
constexpr DWORD RENAME_FIRST_PAUSE_MS = 10;
constexpr int RENAME_PAUSES = 8;

// working_dir holds this start's whole unpack (its own, or one a first start
// that has ended left), not renamed yet: a start unpacks once, whatever its
// renames meet.
bool working_ready;
// working_dir was given up (another start's bundle won) and a held file kept
// part of it: removed again once the application has ended.
bool working_left;

// A bundle found not whole is stamped as long unused before its lock is let
// go of, so that no sweep keeps it as recently used. Stamped, not stripped of
// its record: nothing that a start checks changes, so a check that misjudged
// it (a file a scanner held a moment) costs this start's unpack and no more,
// the next start that finds it whole stamps it used again, and the processes
// running from it keep it until they end; then the sweep removes it.
void let_go_of_damaged_bundle() {
  stamp_extraction_dir_lock(true);
  release_extraction_dir_lock();
}

enum FirstStart {
  BUNDLE_PLACED,
  BUNDLE_NOT_PLACED,  // another start's bundle may stand there now: looked at again
  RUN_FROM_WORKING,   // the rename cannot be made now: the run goes on in working_dir
  CACHE_UNUSABLE,     // the run goes on in a fresh directory
};

uint64_t system_time_now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return filetime_ticks(now.dwHighDateTime, now.dwLowDateTime);
}

// Unpacks into a new working directory; false when it cannot be made. The
// lock is held while the files are written and closed before the rename;
// between the two, the working directory's name (this process, running)
// keeps the sweep off it.
bool unpack_into_working_directory(const CacheChoice* choice) {
  wchar_t pid[PROCESS_ID_TEXT_CAPACITY];
  format_own_process_id(pid, PROCESS_ID_TEXT_CAPACITY);
  TextCursor working = text_start(working_dir, PATH_CAPACITY);
  if (!text_try_join_path(&working, application_dir, as_wide(WORKING_DIR_PREFIX)) || !text_try_append(&working, pid) ||
      !text_try_append_unit(&working, L'_') || !text_try_append_decimal(&working, system_time_now())) {
    return false;
  }
  // The name can be foreseen: a link or another user's directory planted
  // there makes this start run from a fresh directory, as a cache that
  // cannot be used does, instead of stopping it.
  unsigned long error = 0;
  if (create_private_directory(working_dir, &error) != PRIVATE_DIRECTORY_READY) return false;

  begin_unpack(working_dir, EXTRACTION_DIR_MADE);
  begin_bundle_record(choice->bundle_id);
  flush_unpacked_files = true;
  load_payload_resource();
  open_payload_stream();
  begin_sharing_progress();
  if (!unpack_payload(UNPACK_ALL_ENTRIES)) fatal_error("Error, attached data holds no application.");
  end_unpack();
  end_sharing_progress();
  flush_unpacked_files = false;
  finish_bundle_record();
  copy_wide(working_lock, PATH_CAPACITY, directory_lock_path);
  release_extraction_dir_lock();
  working_ready = true;
  return true;
}

// Whether working_dir is the user's own and whole for this payload, with no
// process holding its lock: the lock is held without sharing while the
// record is read, so that no sweep begins on it meanwhile.
bool working_directory_free_and_whole(const CacheChoice* choice) {
  TextCursor lock_path = text_start(working_lock, PATH_CAPACITY);
  if (!text_try_join_path(&lock_path, working_dir, as_wide(DIRECTORY_LOCK_NAME)) ||
      check_own_directory(working_dir) != OWN_DIRECTORY) {
    return false;
  }
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE lock = system_calls.CreateFileW(long_path_form(working_lock, long_form), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (lock == INVALID_HANDLE_VALUE) return false;
  bool whole = bundle_is_whole(working_dir, choice->bundle_id);
  system_calls.CloseHandle(lock);
  return whole;
}

// A whole working directory that a first start left (it ran from it when its
// rename was refused, or was killed after its record), its process ended:
// taken as this start's own unpack.
bool adopt_working_directory(const CacheChoice* choice) {
  TextCursor pattern = text_start(working_dir, PATH_CAPACITY);
  if (!text_try_join_path(&pattern, application_dir, as_wide(WORKING_DIR_PREFIX)) ||
      !text_try_append_unit(&pattern, L'*')) {
    return false;
  }
  wchar_t long_form[LONG_PATH_CAPACITY];
  WIN32_FIND_DATAW found;
  HANDLE search = system_calls.FindFirstFileExW(long_path_form(working_dir, long_form), FindExInfoBasic, &found,
                                                FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  const uint64_t now = system_time_now();
  do {
    uint64_t pid = 0;
    uint64_t time = 0;
    bool plain_directory = (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                           FILE_ATTRIBUTE_DIRECTORY;
    if (!plain_directory || !name_has_form(as_wide(WORKING_DIR_FORM), found.cFileName, &pid, &time) || time >= now ||
        run_may_live(pid, time)) {
      continue;
    }
    TextCursor path = text_start(working_dir, PATH_CAPACITY);
    if (text_try_join_path(&path, application_dir, found.cFileName) && working_directory_free_and_whole(choice)) {
      working_ready = true;
    }
  } while (!working_ready && system_calls.FindNextFileW(search, &found));
  FindClose(search);
  return working_ready;
}

enum Placing {
  PLACED,
  NAME_TAKEN,   // something stands at the name: a bundle that won, or anything else
  NOT_MOVABLE,  // a file below held past the bound, or the rename refused otherwise
};

// Renames working_dir to bundle_dir. Only the answer that the name is taken,
// or something found there, is a race lost; anything else (a held file, a
// link that leads nowhere) would be met again by every new working directory.
Placing place_working_directory() {
  DWORD pause = RENAME_FIRST_PAUSE_MS;
  for (int pauses = 0;; ++pauses) {
    if (move_bundle_into_place(working_dir, bundle_dir)) return PLACED;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return NAME_TAKEN;
    // Windows answers ERROR_ACCESS_DENIED for some directories at the name.
    if (check_own_directory(bundle_dir) != NO_DIRECTORY) return NAME_TAKEN;
    bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    if (!held || pauses == RENAME_PAUSES) return NOT_MOVABLE;
    Sleep(pause);
    pause *= 2;
  }
}

// Unpacks (or takes a whole working directory left by a first start that has
// ended) and renames the result to bundle_dir.
FirstStart first_start(const CacheChoice* choice) {
  if (!working_ready && !adopt_working_directory(choice) && !unpack_into_working_directory(choice)) {
    return CACHE_UNUSABLE;
  }
  switch (place_working_directory()) {
    case PLACED:
      working_ready = false;
      use_unpacked_directory(bundle_dir);
      // Between the rename and the lock the bundle is a bundle like any
      // other: a sweep (another version's) may have taken it, or part of it.
      if (try_hold_extraction_dir_lock()) {
        if (bundle_is_whole(bundle_dir, choice->bundle_id)) return BUNDLE_PLACED;
        let_go_of_damaged_bundle();
      }
      return BUNDLE_NOT_PLACED;  // taken away at once: looked at again
    case NAME_TAKEN:
      return BUNDLE_NOT_PLACED;
    case NOT_MOVABLE:
      break;
  }
  return RUN_FROM_WORKING;
}

// Another start's bundle is used: this start's unpack is not needed.
void give_up_working_directory() {
  if (!working_ready) return;
  working_ready = false;
  working_left = remove_locked_directory(working_dir, nullptr, working_lock, nullptr) == REMOVAL_LEFT_SOME;
}

// No rename could be made: the run goes on in the working directory, whole
// and locked as a bundle is. Its name (this process, running) and then its
// lock keep every sweep off it; once this process has ended, a later start
// renames it into place.
bool run_from_working_directory(const CacheChoice* choice) {
  if (!working_ready) return false;
  working_ready = false;
  use_unpacked_directory(working_dir);
  if (try_hold_extraction_dir_lock()) {
    if (bundle_is_whole(working_dir, choice->bundle_id)) return true;
    let_go_of_damaged_bundle();
  }
  return false;
}

// The user's own directory at bundle_dir used as the bundle when it is
// whole: locked before it is checked, so that no sweep removes it between.
bool hold_whole_bundle(const CacheChoice* choice) {
  use_unpacked_directory(bundle_dir);
  if (!try_hold_extraction_dir_lock()) return false;
  if (bundle_is_whole(bundle_dir, choice->bundle_id)) return true;
  // Damaged: a new one goes beside it; it goes when nothing uses it.
  let_go_of_damaged_bundle();
  return false;
}

// Looks at every name of the id before anything is unpacked: once the sweep
// has removed a damaged bundle, its own name is free while the one made
// beside it is whole, and that one must serve, or every damage would cost
// a second full unpack. True with a whole bundle held; otherwise *free_number
// is the first name nothing stands at (0 for none before the first name that
// cannot be read). The numbered bundle stays where it is until the next
// payload's bundle replaces it: moving it back would rename a folder that
// other starts may be running from, to spare each later start a few looks at
// names.
bool whole_bundle_of_id(const CacheChoice* choice, int* free_number) {
  *free_number = 0;
  for (int number = 1; number <= BUNDLE_FOLDER_NAMES; ++number) {
    if (!name_folder(bundle_dir, application_dir, choice->bundle_id, number)) break;
    OwnDirectory found = check_own_directory(bundle_dir);
    if (found == UNREADABLE_DIRECTORY) break;
    if (found == OWN_DIRECTORY && hold_whole_bundle(choice)) return true;
    if (found == NO_DIRECTORY && *free_number == 0) *free_number = number;
  }
  return false;
}

// Makes a bundle at the first free name from number on, or finds one that
// another start placed meanwhile.
bool make_bundle(const CacheChoice* choice, int number) {
  for (int step = 0; step < BUNDLE_STEPS && number <= BUNDLE_FOLDER_NAMES; ++step) {
    if (!name_folder(bundle_dir, application_dir, choice->bundle_id, number)) break;
    OwnDirectory found = check_own_directory(bundle_dir);
    if (found == UNREADABLE_DIRECTORY) break;
    if (found == FOREIGN_DIRECTORY) {
      ++number;
      continue;
    }
    if (found == OWN_DIRECTORY) {
      // Another start's, placed since the look above, or the damaged one again.
      if (hold_whole_bundle(choice)) {
        give_up_working_directory();
        return true;
      }
      ++number;
      continue;
    }
    switch (first_start(choice)) {
      case BUNDLE_PLACED:
        return true;
      case CACHE_UNUSABLE:
        return false;
      case RUN_FROM_WORKING:
        return run_from_working_directory(choice);
      case BUNDLE_NOT_PLACED:
        break;  // the same name again: the winner's, or free again
    }
  }
  // Every name tried: a whole working directory is still better than a
  // fresh directory unpacked anew.
  return run_from_working_directory(choice);
}

// Finds a whole bundle (the id's own name first, then the numbered ones) or
// makes one at the first free name; true with its lock held and
// extraction_dir and first_entry_path set. A start that finds none looks
// again once it is its turn to unpack: the start it waited for, or one that
// ended just before, has placed its bundle by then.
bool settle_bundle(const CacheChoice* choice) {
  int number = 0;
  if (whole_bundle_of_id(choice, &number)) return true;
  if (number == 0) return false;
  wait_for_turn_to_unpack(application_dir, choice->bundle_id);
  bool settled = whole_bundle_of_id(choice, &number) || (number != 0 && make_bundle(choice, number));
  release_unpacking_lock();
  return settled;
}

// A later start's way: the bundle under its own name, in the application
// folder under its own name, whole. The folder is checked on its handle (a
// link there is refused, and so is one open to others), the bundle as
// always. Anything else takes the full way.
bool whole_bundle_in_place(const CacheChoice* choice) {
  if (!name_folder(application_dir, cache_root, choice->application, 1) ||
      !name_folder(bundle_dir, application_dir, choice->bundle_id, 1) || !application_dir_guarded() ||
      check_own_directory(bundle_dir) != OWN_DIRECTORY) {
    return false;
  }
  return hold_whole_bundle(choice);
}

// What a scanner held of a working directory given up is likely free by the
// time the application ends: looked at once more. What is still left keeps
// its lock, and the detached sweeper takes it once this process has ended
// (its name says this process). True when something is left.
bool finish_giving_up_working_directory() {
  if (working_left) {
    working_left = remove_locked_directory(working_dir, nullptr, working_lock, nullptr) == REMOVAL_LEFT_SOME;
  }
  return working_left;
}

// How long the end of a run waits for a sweep that has not ended, before it
// cuts it short and leaves the rest to a detached sweeper: a fraction of what
// starting the sweeper costs this process (CreateProcessW of a detached copy
// took 10-29 ms under Wine on the 2-core machine, both cores busy). A removal
// that ends within it spares that start; one that does not (thousands of
// files take seconds) adds little to it.
constexpr DWORD SWEEP_SETTLE_MS = 5;

void forget_cache_attempt() {
  release_extraction_dir_lock();
  forget_unpack();
}

}  // namespace

bool expand_cache_root(const CacheChoice* choice, wchar_t* root) {
  if (!expand_path_spec(root, choice->root, PATH_CAPACITY, get_executable_path(false)) ||
      absolute_path_kind(root) == NOT_ABSOLUTE) {
    return false;
  }
  // Full while it is short: the bundle's paths are built below it by
  // appending names, and reach the file calls in the "\\?\" form built
  // directly from them.
  full_root_form(root, PATH_CAPACITY);
  TextCursor end = text_resume(root, PATH_CAPACITY);
  text_trim_end(&end, L'\\');
  return true;
}

bool find_application_dir(const CacheChoice* choice, wchar_t* folder) {
  if (!expand_cache_root(choice, cache_root)) return false;
  HANDLE opened = open_root();
  if (opened == INVALID_HANDLE_VALUE) return false;
  // As a start takes the names, making none.
  bool found = usable_root(opened) && settle_application_dir(choice, false);
  system_calls.CloseHandle(opened);
  if (found) copy_wide(folder, PATH_CAPACITY, application_dir);
  return found;
}

bool settle_cache(const CacheChoice* choice) {
  bool settled = settle_root(choice) &&
                 (whole_bundle_in_place(choice) || (settle_application_dir(choice, true) && settle_bundle(choice)));
  release_root();
  if (!settled) {
    forget_cache_attempt();
    return false;
  }
  stamp_extraction_dir_lock(false);
  return true;
}

namespace {

CacheChoice choice;

// A file of the bundle that no longer holds an image (a power cut kept its
// size, not its data) fails every start until the bundle is replaced: this
// run still fails, and the next one unpacks anew.
void heal_after_failed_load(unsigned long error) {
  switch (error) {
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_BAD_FORMAT:
    case ERROR_FILE_CORRUPT:
    case ERROR_MOD_NOT_FOUND:
    case ERROR_PROC_NOT_FOUND:
    case ERROR_DLL_INIT_FAILED:
      // This run's stamp would keep it as recently used: stamped as damaged.
      if (mark_bundle_damaged_if_at_fault(extraction_dir, choice.bundle_id)) stamp_extraction_dir_lock(true);
      break;
    default:
      break;
  }
}

}  // namespace

bool run_cached(int* status) {
  if (!cached_mode_wanted(&choice)) return false;
  if (cache_removal_wanted()) {
    *status = remove_own_cache(&choice);
    return true;
  }
  if (!settle_cache(&choice)) return false;
  // A copy of the program that the application starts is a cached start of
  // its own, never a re-launched instance of this one.
  set_env_narrow("VORBEL_ONEFILE_PARENT", nullptr);
  set_env_narrow("VORBEL_ONEFILE_START", nullptr);
  set_launch_variables(set_env_narrow);
  cache_form = {as_wide(WORKING_DIR_FORM), as_wide(DIRECTORY_LOCK_NAME), true};
  start_leftover_sweep(&cache_form);
  int count = 0;
  wchar_t** arguments = application_arguments(&count, true);
  // As in a re-launched instance, whose command line begins with it.
  arguments[0] = launcher_module();
  *status = start_application_dll(count, arguments, heal_after_failed_load);
  // The application has ended: no removal delays the exit. Both are asked,
  // each for its own rest.
  bool sweep_left = cut_leftover_sweep(SWEEP_SETTLE_MS);
  bool working_dir_left = finish_giving_up_working_directory();
  if (sweep_left || working_dir_left) start_detached_sweeper();
  return true;
}
