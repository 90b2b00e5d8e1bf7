// Property: the launcher's entry-name check never passes a name that would
// leave the extraction directory (absolute, a drive or stream colon, more
// parent components than levels) or whose component names a device, each
// judged here by an independent model of how Windows reads the name; and every
// name the build tool accepts passes it. The device rule itself agrees with
// the model for every component. The name is handed over in a buffer that ends
// at its NUL, so that reading past it stops the run under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_utf16.h"
#include "packer/entry_names.h"
#include "payload/entry_name_rule.h"

namespace {

bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

enum class Step { stay, down, up };

// How far a component moves: blanks aside, no dot or one stays (as "." and
// the forms Windows trims to it), two or more dots may go up (as ".."),
// anything else goes down a level.
Step step_of(std::u16string_view component) {
  std::u16string without_blanks;
  for (char16_t unit : component) {
    if (unit != u' ') without_blanks += unit;
  }
  if (without_blanks.find_first_not_of(u'.') != std::u16string::npos) return Step::down;
  return without_blanks.size() >= 2 ? Step::up : Step::stay;
}

// The device Windows opens for the component, as "COM1", or empty: the base
// before the first dot, blanks at its end dropped, in upper case.
std::u16string device_of(std::u16string_view component) {
  std::u16string base(component.substr(0, component.find(u'.')));
  base.erase(base.find_last_not_of(u' ') + 1);
  std::u16string upper;
  for (char16_t unit : base) upper += unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit & ~0x20) : unit;
  for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (upper == device) return base;
  }
  if (upper.size() == 4 && (upper.starts_with(u"COM") || upper.starts_with(u"LPT")) &&
      std::u16string_view(u"123456789\u00B9\u00B2\u00B3").find(upper[3]) != std::u16string_view::npos) {
    return base;
  }
  return u"";
}

// Whether Windows could take the name outside the directory or to a device.
bool unsafe(std::u16string_view name) {
  if (name.empty() || is_separator(name.front())) return true;
  if (name.find(u':') != std::u16string_view::npos) return true;
  long depth = 0;
  size_t start = 0;
  for (;;) {
    size_t end = start;
    while (end < name.size() && !is_separator(name[end])) ++end;
    std::u16string_view component = name.substr(start, end - start);
    if (!device_of(component).empty()) return true;
    switch (step_of(component)) {
      case Step::up:
        if (--depth < 0) return true;
        break;
      case Step::down:
        ++depth;
        break;
      case Step::stay:
        break;
    }
    if (end == name.size()) return false;
    start = end + 1;
  }
}

bool launcher_passes(std::u16string_view name) {
  // Exactly the name and its NUL: nothing after it may be read.
  std::unique_ptr<char16_t[]> copy(new char16_t[name.size() + 1]);
  name.copy(copy.get(), name.size());
  copy[name.size()] = u'\0';
  return entry_name_stays_inside(copy.get());
}

void check_components(std::u16string_view name) {
  size_t start = 0;
  for (;;) {
    size_t end = start;
    while (end < name.size() && !is_separator(name[end])) ++end;
    std::u16string_view component = name.substr(start, end - start);
    // Exactly the component: the rule must not look past its length.
    std::unique_ptr<char16_t[]> copy(new char16_t[component.size() + 1]);
    component.copy(copy.get(), component.size());
    FUZZ_CHECK(device_name_length(copy.get(), component.size()) == device_of(component).size());
    if (end == name.size()) return;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The name as the launcher reads it.
  const std::u16string name = utf16_up_to_nul(data, size);
  if (name.empty()) return 0;  // the end marker, never checked as a name
  check_components(name);
  const bool passes = launcher_passes(name);
  if (passes) FUZZ_CHECK(!unsafe(name));
  if (!vorbel::pack::entry_name_problem(name)) FUZZ_CHECK(passes);
  return 0;
}
