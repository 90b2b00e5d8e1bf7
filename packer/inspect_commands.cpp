// list, extract and verify: a packed program read back through the launcher's
// own readers (payload_inspect.cpp), with how it will run (subsystem and
// settings record). Reads only; extract writes only below its DIR.
#include <algorithm>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string_view>

#include "packer/cli_commands.h"
#include "packer/console_subsystem.h"
#include "packer/launch_settings_record.h"
#include "packer/launcher_image.h"
#include "packer/payload_inspect.h"
#include "packer/platform.h"
#include "packer/sha256.h"
#include "packer/utf.h"

namespace vorbel::pack::cli {
namespace fs = std::filesystem;
namespace {

std::string binary_size(uint64_t bytes) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1);
  if (bytes < 1048576) {
    text << bytes / 1024.0 << " KiB";
  } else {
    text << bytes / 1048576.0 << " MiB";
  }
  return text.str();
}

// How the packed program runs, for list and verify: "subsystem: GUI" or
// "subsystem: console", then its settings record's lines or "settings: none".
// *bundle_id gets the cached mode's bundle id, if the record has one.
Result<std::vector<std::string>> run_facts(const std::vector<uint8_t>& packed, std::optional<std::string>* bundle_id) {
  auto subsystem = subsystem_of(packed);
  if (!subsystem.ok()) return subsystem.failure();
  std::string kind = subsystem.value() == kSubsystemGui       ? "GUI"
                     : subsystem.value() == kSubsystemConsole ? "console"
                                                              : "other (" + std::to_string(subsystem.value()) + ")";
  std::vector<std::string> lines = {"subsystem: " + kind};
  auto record = settings_resource_of(packed);
  if (!record.ok()) return record.failure();
  if (!record.value()) {
    lines.push_back("settings: none");
    return lines;
  }
  auto described = describe_settings(*record.value());
  if (!described.ok()) return described.failure();
  *bundle_id = bundle_id_in(*record.value());
  lines.insert(lines.end(), described->begin(), described->end());
  return lines;
}

}  // namespace

// list, extract and verify: PACKED.exe [DIR].
int inspect_command(const std::vector<std::string>& arguments, Console& console) {
  const std::string& command = arguments[0];
  if (std::any_of(arguments.begin() + 1, arguments.end(), asks_for_help)) return show_help(console, command);
  std::vector<std::string_view> operands;
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i].starts_with("-") && arguments[i] != "-") {
      return usage_error(console, {"unknown option '" + printable(arguments[i]) + "' for " + command});
    }
    operands.push_back(arguments[i]);
  }
  const size_t wanted = command == "extract" ? 2 : 1;
  if (operands.size() != wanted || operands[0].empty() || (wanted == 2 && operands[1].empty())) {
    return usage_error(console, {command + (wanted == 2 ? " needs PACKED.exe and DIR" : " needs PACKED.exe")});
  }
  const fs::path packed_path = platform::path_from_utf8(operands[0]);
  const std::string shown = platform::show(packed_path);
  auto packed = read_whole_file(packed_path);
  if (!packed.ok()) return report(console, packed.failure());
  std::optional<std::string> bundle_id;
  auto facts_lines = run_facts(packed.value(), &bundle_id);
  if (!facts_lines.ok()) return report(console, about(shown, facts_lines.failure()));
  auto resource = payload_resource_of(std::move(packed.value()));
  if (!resource.ok()) return report(console, about(shown, resource.failure()));

  if (command == "list") {
    if (Status listed = list_payload(resource.value(), console.out); !listed.ok()) {
      return report(console, about(shown, listed.failure()));
    }
    for (const std::string& line : facts_lines.value()) console.out << line << '\n';
    return kExitOk;
  }
  if (command == "extract") {
    Status extracted = extract_payload(resource.value(), platform::path_from_utf8(operands[1]));
    if (!extracted.ok()) return report(console, about(shown, extracted.failure()));
    return kExitOk;
  }
  auto verified = verify_payload(resource.value());
  if (!verified.ok()) return report(console, about(shown, verified.failure()));
  if (bundle_id) {
    // The launcher trusts the id to name these files: under another payload's
    // id a cached start would run that payload's extraction.
    const std::string actual = bundle_id_of(sha256(resource.value()));
    if (*bundle_id != actual) {
      return report(console, Failure{shown, "is damaged: its settings record names bundle " + *bundle_id +
                                                ", but its payload's is " + actual});
    }
    // Such a bundle could never be checked, and its first start stops.
    if (verified->cached_name_problem)
      return report(console, Failure{shown, "payload " + *verified->cached_name_problem});
  }
  const VerifyReport& facts = verified.value();
  console.out << shown << ": ok, " << facts.entries << " entries, " << facts.content_bytes << " bytes in "
              << facts.frame_bytes << " compressed; window " << binary_size(facts.window_bytes) << ", decoder about "
              << binary_size(facts.decoder_bytes) << '\n';
  for (const std::string& line : facts_lines.value()) console.out << shown << ": " << line << '\n';
  if (!facts.content_checksum) console.out << shown << ": warning: " << kNoChecksum << '\n';
  if (facts.bytes_after_end_marker != 0) {
    console.out << shown << ": warning: the payload decodes to " << facts.bytes_after_end_marker
                << " bytes after its end marker, which belong to no entry; the launcher ignores them\n";
  }
  if (facts.trailing_bytes != 0) {
    console.out << shown << ": note: " << facts.trailing_bytes
                << " bytes follow the frame in the resource; the launcher ignores them\n";
  }
  return kExitOk;
}

}  // namespace vorbel::pack::cli
