// The cached mode's run: find this payload's kept bundle directory, or make
// it once, and run the application from it in this process, without a child
// and without removing anything at the end.
#pragma once

#include "launcher/run_settings.h"

// Finds the payload's whole bundle below choice's root (the id's own name
// first, then every numbered one before anything is unpacked) or makes it,
// unpacking once at most (a working directory that cannot be renamed into
// place is used as it stands; a first start of the bundle under way is
// waited for, a bounded time, and its bundle used): true with its lock
// held and stamped with the time of this use, and extraction_dir and
// first_entry_path set to it. A bundle found damaged is stamped as long
// unused. False, with nothing of the mode left in effect,
// when the cache cannot be used: the root unusable, every name for the
// application or its bundle taken by someone else's directory or a link, a
// link or someone else's directory at the working directory's name.
bool settle_cache(const CacheChoice* choice);

// The root choice names, into root (PATH_CAPACITY units), full and without a
// trailing separator, nothing made: the program's names in it are the
// executable's own path, never argv[0], which the caller writes as it likes
// (a bare "app" from cmd would make it relative to the current directory).
// False when it does not come out absolute: no root.
bool expand_cache_root(const CacheChoice* choice, wchar_t* root);

// The application folder a start of choice settled on, into folder
// (PATH_CAPACITY units), found by the same guards and nothing made: the root
// an existing directory no other account can change below, the folder the
// first of its names that is the user's own and guarded. False when there is
// none.
bool find_application_dir(const CacheChoice* choice, wchar_t* folder);

// Runs the application from its bundle and returns run_code's result in
// *status: true. A removal the sweep has not ended once run_code returns is
// left to a detached sweeper (start_detached_sweeper), so none delays the
// exit. Asked to remove the cache (cache_removal_wanted), removes
// it instead and returns remove_own_cache's status: true, nothing run.
// False, with nothing of the mode left in effect, when the cache cannot be
// used (its root unusable, every name for the application or its bundle
// taken by someone else's directory or a link): the caller then runs the
// fresh directory's sequence.
bool run_cached(int* status);
