// The cached mode's run: find this payload's kept bundle directory, or make
// it once, and run the application from it in this process, without a child
// and without removing anything at the end.
#pragma once

// Runs the application from its bundle and returns run_code's result in
// *status: true. False, with nothing of the mode left in effect, when the
// cache cannot be used (its root unusable, every name for the application
// or its bundle taken by someone else's directory or a link): the caller
// then runs the fresh directory's sequence.
bool run_cached(int* status);
