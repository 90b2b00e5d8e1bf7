// The command-line splitter; see command_line_split.h.
// Argument 0 has rules of its own; the rest follow the backslash and quote
// rules. The C runtime splits differently (argument 0, and "" inside quotes).
#include "launcher/command_line_split.h"

namespace {

bool is_blank(CommandLineUnit unit) { return unit == ' ' || unit == '\t'; }

void put_units(const ArgumentSink* sink, CommandLineUnit unit, size_t count) {
  for (size_t i = 0; i < count; ++i) sink->unit(sink->context, unit);
}

// Argument 0 is a path, read without escapes: quoted, it ends at the next
// quote (or the end), whatever follows that quote; unquoted, at a blank.
const CommandLineUnit* split_program(const CommandLineUnit* unit, const ArgumentSink* sink) {
  if (*unit == '"') {
    for (++unit; *unit != '\0'; ++unit) {
      if (*unit == '"') {
        ++unit;
        break;
      }
      sink->unit(sink->context, *unit);
    }
  } else {
    for (; *unit != '\0' && !is_blank(*unit); ++unit) sink->unit(sink->context, *unit);
  }
  sink->end(sink->context);
  return unit;
}

}  // namespace

size_t split_command_line(const CommandLineUnit* line, const CommandLineUnit* program_path, const ArgumentSink* sink) {
  if (*line == '\0') {
    for (const CommandLineUnit* unit = program_path; *unit != '\0'; ++unit) sink->unit(sink->context, *unit);
    sink->end(sink->context);
    return 1;
  }
  const CommandLineUnit* unit = split_program(line, sink);
  size_t count = 1;
  for (;;) {
    while (is_blank(*unit)) ++unit;
    if (*unit == '\0') return count;
    // One argument. A quote that ends quoting, when another quote follows at
    // once, makes that one a literal quote and quoting stays off: three
    // quotes give one literal quote.
    bool quoted = false;
    bool just_closed = false;
    while (*unit != '\0' && (quoted || !is_blank(*unit))) {
      size_t backslashes = 0;
      while (*unit == '\\') {
        ++backslashes;
        ++unit;
      }
      if (*unit != '"') {
        // Backslashes not before a quote are literal; the unit after them
        // is taken on the next turn, where it may end the argument.
        put_units(sink, '\\', backslashes);
        if (backslashes == 0) {
          sink->unit(sink->context, *unit);
          ++unit;
        }
        just_closed = false;
        continue;
      }
      ++unit;
      put_units(sink, '\\', backslashes / 2);
      if (backslashes % 2 == 1 || (just_closed && backslashes == 0)) {
        sink->unit(sink->context, '"');
        just_closed = false;
      } else {
        just_closed = quoted;
        quoted = !quoted;
      }
    }
    sink->end(sink->context);
    ++count;
  }
}
