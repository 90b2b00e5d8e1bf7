// Property: the name rules the launcher and its sweep read directory names
// with agree with an independent model (regular expressions over the same
// text): a bundle folder's name, an absolute path's kind, and the extraction
// and working forms with {PID} and {TIME} read back within their bounds. The
// char16_t and wchar_t forms of each rule give the same answer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>

#include "common/launcher_names.h"
#include "fuzz/fuzz_check.h"

namespace {

std::optional<uint64_t> decimal_within(const std::string& digits, uint64_t largest) {
  uint64_t value = 0;
  for (char digit : digits) {
    uint64_t next = static_cast<uint64_t>(digit - '0');
    if (value > (largest - next) / 10) return std::nullopt;
    value = value * 10 + next;
  }
  return value;
}

// The name's part after the form's fixed start, by the model.
void check_form(const char16_t* form, const std::u16string& name, const std::wstring& wide_name,
                const std::string& narrow, bool ascii, const std::regex& model) {
  uint64_t pid = 0, time = 0, wide_pid = 0, wide_time = 0;
  bool taken = name_has_form(form, name.c_str(), &pid, &time);
  std::wstring wide_form(form, form + std::char_traits<char16_t>::length(form));
  FUZZ_CHECK(name_has_form(wide_form.c_str(), wide_name.c_str(), &wide_pid, &wide_time) == taken);
  std::smatch match;
  bool expected = false;
  if (ascii && std::regex_match(narrow, match, model)) {
    auto model_pid = decimal_within(match[1].str(), 0xFFFFFFFFu);
    auto model_time = decimal_within(match[2].str(), ~0ull);
    expected = model_pid && model_time;
    if (expected && taken) FUZZ_CHECK(*model_pid == pid && *model_time == time && pid == wide_pid && time == wide_time);
  }
  FUZZ_CHECK(taken == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string name;
  for (size_t at = 0; at + 1 < size; at += 2) {
    char16_t unit = static_cast<char16_t>(data[at] | (data[at + 1] << 8));
    if (unit == 0) break;
    name.push_back(unit);
  }
  std::wstring wide_name(name.begin(), name.end());
  bool ascii = true;
  std::string narrow;
  for (char16_t unit : name) {
    ascii = ascii && unit < 0x80;
    narrow.push_back(static_cast<char>(unit & 0x7F));
  }

  static const std::regex bundle("[0-9a-f]{16}(\\.[0-9]{1,2})?");
  bool bundle_name = is_bundle_folder_name(name.c_str());
  FUZZ_CHECK(is_bundle_folder_name(wide_name.c_str()) == bundle_name);
  FUZZ_CHECK(bundle_name == (ascii && std::regex_match(narrow, bundle)));

  static const std::regex drive("[A-Za-z]:[\\\\/][\\s\\S]*");
  static const std::regex device("[\\\\/]{2}[?.][\\\\/][\\s\\S]*");
  static const std::regex network("[\\\\/]{2}[^\\\\/]+[\\\\/][^\\\\/][\\s\\S]*");
  AbsolutePath kind = absolute_path_kind(name.c_str());
  FUZZ_CHECK(absolute_path_kind(wide_name.c_str()) == kind);
  // Units outside ASCII never begin a drive or make a separator: the model
  // sees them as some other character, which is all the rule asks of them.
  AbsolutePath model_kind = std::regex_match(narrow, drive)     ? DRIVE_PATH
                            : std::regex_match(narrow, device)  ? DEVICE_PATH
                            : std::regex_match(narrow, network) ? NETWORK_PATH
                                                                : NOT_ABSOLUTE;
  if (ascii) FUZZ_CHECK(kind == model_kind);

  static const std::regex extraction("onefile_([1-9][0-9]*)_([0-9]+)");
  static const std::regex working("unpacking_([1-9][0-9]*)_([0-9]+)");
  check_form(u"onefile_{PID}_{TIME}", name, wide_name, narrow, ascii, extraction);
  check_form(WORKING_DIR_FORM, name, wide_name, narrow, ascii, working);
  return 0;
}
