#include "reports/json_escape.h"

namespace tacetra {

void json_escape(const char* source, char* destination, std::uint64_t capacity) {
  std::uint64_t length = 0;
  for (const char* p = source; *p != '\0'; ++p) {
    // Room for the largest output of one byte (an escape pair) and the NUL.
    if (p != source && length + 2 >= capacity) break;
    const auto byte = static_cast<unsigned char>(*p);
    if (byte == '"' || byte == '\\') {
      destination[length++] = '\\';
      destination[length++] = static_cast<char>(byte);
    } else if (byte >= 0x20) {
      destination[length++] = static_cast<char>(byte);
    }
  }
  destination[length] = '\0';
}

}  // namespace tacetra
