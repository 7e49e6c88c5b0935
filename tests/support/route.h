// A copy's way from one container to another, as a test parameter: shown as
// "in.mkv -> out.mp4" and named "in_mkv_to_out_mp4" in test names.
#pragma once

#include <ostream>
#include <string>

namespace fixtures {

struct Route {
  const char* in;
  const char* out;
};

inline std::ostream& operator<<(std::ostream& os, const Route& r) {
  return os << r.in << " -> " << r.out;
}

inline std::string route_name(const Route& r) {
  std::string name = std::string(r.in) + "_to_" + r.out;
  for (char& c : name) {
    if (c == '.') c = '_';
  }
  return name;
}

}  // namespace fixtures
