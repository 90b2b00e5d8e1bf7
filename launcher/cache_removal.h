// The cached mode's removal of a program's own cache, asked for by
// VORBEL_ONEFILE_REMOVE_CACHE=1 (an uninstaller, or the user): the
// application does not run. Removes only what the cached mode makes and the
// sweep would take; never a bundle that a running start holds.
#pragma once

#include "launcher/run_settings.h"

// Status of a removal that left a folder some process still uses.
constexpr int CACHE_REMOVAL_IN_USE_STATUS = 1;

// Whether the variable asks for the removal: its value is exactly "1".
bool cache_removal_wanted();

// Removes, in every application folder of choice's name below its root (the
// name and its numbered forms, each the user's own and no link), the
// bundles of every id and the working directories whose first start has
// ended, then each folder left empty. Each one some process still uses is
// named on standard error. Returns 0, or CACHE_REMOVAL_IN_USE_STATUS when
// something was left; a root that does not exist or cannot be expanded holds
// no cache, so that is 0 as well. Never makes a directory.
int remove_own_cache(const CacheChoice* choice);
