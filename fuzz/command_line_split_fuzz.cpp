// Property: the launcher's command-line splitter gives, for every line, the
// arguments an independent model of CommandLineToArgvW's rules gives, and no
// argument after the first is as long as the line (the bound the launcher
// sizes its argument buffer by). The line is handed over in a buffer that
// ends at its NUL, so that reading past it stops the run under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_utf16.h"
#include "launcher/command_line_split.h"

namespace {

using Arguments = std::vector<std::u16string>;

const char16_t PROGRAM[] = u"C:\\dir\\program.exe";

bool blank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

// Where the model's reading of an argument stands with its quotes.
enum class Quoting { off, on, just_closed };

// The model reads each argument after the first as a stream of tokens, a
// unit taken as it is or a quote that may toggle, and applies the quote
// rule to the tokens: a toggling quote right after one that closed is a
// literal quote instead, and quoting stays off.
struct Token {
  bool toggles;
  char16_t unit;
};

// The tokens at position i: a run of backslashes with what ends it.
std::vector<Token> next_tokens(std::u16string_view line, size_t& i) {
  std::vector<Token> tokens;
  size_t run = 0;
  while (i + run < line.size() && line[i + run] == u'\\') ++run;
  const bool before_quote = i + run < line.size() && line[i + run] == u'"';
  if (run == 0) {
    tokens.push_back({before_quote, line[i]});
    ++i;
    return tokens;
  }
  // Before a quote, backslashes pair up; an odd one makes the quote literal.
  const size_t kept = before_quote ? run / 2 : run;
  tokens.assign(kept, Token{false, u'\\'});
  i += run;
  if (before_quote) {
    tokens.push_back({run % 2 == 0, u'"'});
    ++i;
  }
  return tokens;
}

Arguments model_split(std::u16string_view line) {
  if (line.empty()) return {PROGRAM};
  Arguments arguments;
  size_t i = 0;
  if (line[0] == u'"') {
    const size_t close = line.find(u'"', 1);
    arguments.emplace_back(line.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1));
    i = close == std::u16string_view::npos ? line.size() : close + 1;
  } else {
    const size_t end = line.find_first_of(u" \t");
    arguments.emplace_back(line.substr(0, end));
    i = end == std::u16string_view::npos ? line.size() : end;
  }
  for (;;) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i == line.size()) return arguments;
    std::u16string argument;
    Quoting quoting = Quoting::off;
    while (i < line.size() && (quoting == Quoting::on || !blank(line[i]))) {
      for (const Token& token : next_tokens(line, i)) {
        if (!token.toggles) {
          argument += token.unit;
          quoting = quoting == Quoting::just_closed ? Quoting::off : quoting;
        } else if (quoting == Quoting::just_closed) {
          argument += u'"';
          quoting = Quoting::off;
        } else {
          quoting = quoting == Quoting::on ? Quoting::just_closed : Quoting::on;
        }
      }
    }
    arguments.push_back(argument);
  }
}

struct Collected {
  Arguments arguments{1};
  size_t ends = 0;
};

void collect_unit(void* context, CommandLineUnit unit) { static_cast<Collected*>(context)->arguments.back() += unit; }

void collect_end(void* context) {
  Collected* collected = static_cast<Collected*>(context);
  collected->arguments.emplace_back();
  ++collected->ends;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The line as the launcher reads it.
  const std::u16string line = utf16_up_to_nul(data, size);
  // Exactly the line and its NUL: nothing after it may be read.
  std::unique_ptr<CommandLineUnit[]> copy(new CommandLineUnit[line.size() + 1]);
  line.copy(copy.get(), line.size());
  copy[line.size()] = u'\0';

  Collected collected;
  const ArgumentSink sink = {&collected, collect_unit, collect_end};
  const size_t count = split_command_line(copy.get(), PROGRAM, &sink);
  collected.arguments.pop_back();  // the one the last end opened
  FUZZ_CHECK(count == collected.ends);
  FUZZ_CHECK(collected.arguments == model_split(line));

  for (size_t i = 1; i < collected.arguments.size(); ++i) FUZZ_CHECK(collected.arguments[i].size() < line.size());
  return 0;
}
