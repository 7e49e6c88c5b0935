#include "probe_facts.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "report_fields.h"
#include "tacetra.h"

namespace tacetra_cli {

bool probe_facts::has_video() const {
  return std::ranges::any_of(streams, [](const stream& s) { return s.type == "video"; });
}

std::optional<probe_facts> probe_file(const std::string& path, std::string& error) {
  const std::string report = tacetra_probe(path.c_str());
  // The report names no path, but an error from the system may hold bytes
  // that are not UTF-8: the parser would refuse the text then.
  const auto parsed = nlohmann::json::parse(report, nullptr, false);
  if (parsed.is_discarded() || !parsed.value("ok", false)) {
    error = string_field(report, "error").value_or("cannot probe");
    return std::nullopt;
  }
  probe_facts facts;
  facts.size_bytes = parsed.value("size_bytes", std::int64_t{0});
  facts.audio_bytes_estimate = parsed.value("audio_bytes_estimate", std::int64_t{0});
  facts.audio_tracks = parsed.value("audio_tracks", 0);
  for (const auto& s : parsed.value("streams", nlohmann::json::array())) {
    facts.streams.push_back({s.value("index", 0), s.value("type", ""), s.value("codec", "")});
  }
  return facts;
}

}  // namespace tacetra_cli
