#include "display_name.h"

#include <cstdio>

namespace tacetra_cli {
namespace {

// C0 controls, DEL, and C1 controls as UTF-8 writes them (U+0080 to U+009F,
// which some terminals obey as they do ESC [).
bool is_control(const std::string& s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x20 || c == 0x7f) return true;
  return c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
         static_cast<unsigned char>(s[i + 1]) <= 0x9f;
}

}  // namespace

std::string display_name(const std::string& name) {
  bool plain = true;
  for (std::size_t i = 0; i < name.size() && plain; ++i) plain = !is_control(name, i);
  if (plain) return name;

  std::string quoted = "$'";
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    switch (c) {
      case '\a': quoted += "\\a"; continue;
      case '\b': quoted += "\\b"; continue;
      case '\t': quoted += "\\t"; continue;
      case '\n': quoted += "\\n"; continue;
      case '\v': quoted += "\\v"; continue;
      case '\f': quoted += "\\f"; continue;
      case '\r': quoted += "\\r"; continue;
      case '\033': quoted += "\\E"; continue;
      case '\'': quoted += "\\'"; continue;
      case '\\': quoted += "\\\\"; continue;
      default: break;
    }
    if (is_control(name, i)) {
      const bool c1 = c == 0xc2;
      for (int k = 0; k < (c1 ? 2 : 1); ++k) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\%03o", static_cast<unsigned char>(name[i + k]));
        quoted += hex;
      }
      i += c1 ? 1 : 0;
      continue;
    }
    quoted += name[i];
  }
  return quoted + "'";
}

}  // namespace tacetra_cli
