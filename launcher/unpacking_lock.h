// First starts of one bundle at once unpack once between them: the one that
// holds the application folder's "<bundle id>.unpacking" unpacks, and the
// others wait for it, bounded, showing its progress. Main thread only.
#pragma once

#include <wchar.h>

// Returns once this start may unpack: the lock taken, or given up on
// (unusable, or held by another start past the bound).
void wait_for_turn_to_unpack(const wchar_t* application_dir, const wchar_t* bundle_id);

// Lets go of the lock, if taken; its file goes with it.
void release_unpacking_lock();

// Around this start's own unpack: while the lock is held and the progress is
// shown, the progress is also written into the lock for the starts that wait.
void begin_sharing_progress();
void end_sharing_progress();
