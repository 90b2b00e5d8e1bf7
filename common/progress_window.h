// The progress window of --progress-window: the program's icon, its product
// name and a bar. user32, gdi32 and comctl32 are loaded here only, when the
// window is due; they stay loaded once it has been shown. It never takes the
// focus nor the first ShowWindow of the process, whose show state belongs to
// the application's own first window.
#pragma once

// Makes and shows the window at percent; false when it cannot be made (no
// desktop, a library missing): the unpack goes on without it.
bool open_progress_window(unsigned percent);

// Moves the bar to percent and handles the window's pending messages, so
// that it paints and answers.
void step_progress_window(unsigned percent);

// Destroys the window; nothing when none is open.
void close_progress_window();
