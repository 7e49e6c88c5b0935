#include "reports/json_escape.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct escape_case {
  const char* name;
  std::string source;
  std::uint64_t capacity;
  std::string expected;
};

class JsonEscape : public testing::TestWithParam<escape_case> {};

TEST_P(JsonEscape, WritesTheExpectedBytesAndNoMore) {
  const escape_case& c = GetParam();
  // Guard bytes around the buffer catch a write past the capacity.
  std::vector<char> buffer(c.capacity + 2, '#');
  tacetra::json_escape(c.source.c_str(), buffer.data() + 1, c.capacity);
  EXPECT_EQ(std::string(buffer.data() + 1), c.expected);
  EXPECT_EQ(buffer.front(), '#');
  EXPECT_EQ(buffer.back(), '#');
}

const std::string quotes_255(255, '"');
std::string repeat_pair(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "\\\"";
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonEscape,
    testing::Values(
        escape_case{"empty", "", 8, ""},
        escape_case{"quote_and_backslash", "a\"b\\c", 16, "a\\\"b\\\\c"},
        escape_case{"tab_lf_cr_dropped", "a\tb\nc\rd", 16, "abcd"},
        escape_case{"only_control_bytes", "\x01\x02\x1f", 16, ""},
        escape_case{"high_bytes_and_del_copied", "\x7f\x80\xff", 16, "\x7f\x80\xff"},
        escape_case{"utf8_kept", "caf\xc3\xa9 \xe6\x97\xa5", 32, "caf\xc3\xa9 \xe6\x97\xa5"},
        escape_case{"slash_not_escaped", "a/b", 8, "a/b"},
        escape_case{"ten_letters_cap_8", "abcdefghij", 8, "abcdef"},
        escape_case{"seven_letters_cap_8", "abcdefg", 8, "abcdef"},
        escape_case{"six_letters_cap_8", "abcdef", 8, "abcdef"},
        escape_case{"pair_fills_buffer", "abcde\"x", 8, "abcde\\\""},
        escape_case{"pair_does_not_fit", "abcdef\"x", 8, "abcdef"},
        escape_case{"single_quote_cap_3", "\"", 3, "\\\""},
        escape_case{"first_byte_always_taken", "ab", 3, "a"},
        escape_case{"dropped_bytes_use_no_room", "\x01\x02" "abc", 4, "ab"},
        escape_case{"quotes_255_cap_512", quotes_255, 512, repeat_pair(255)},
        escape_case{"cut_never_leaves_lone_backslash", "abc\\\\\\\\", 7, "abc\\\\"}),
    [](const testing::TestParamInfo<escape_case>& info) { return std::string(info.param.name); });

// The escape reads plain text eight bytes at a time; the byte by byte rule
// is the reference. Every byte that matters (and its neighbours, with and
// without the high bit) at every offset within and across those eight-byte
// words, over every cut from the smallest capacity up.
std::string escaped_byte_by_byte(const std::string& source, std::uint64_t capacity) {
  std::string out;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (i != 0 && out.size() + 2 >= capacity) break;
    const auto byte = static_cast<unsigned char>(source[i]);
    if (byte == '"' || byte == '\\') out += '\\';
    if (byte >= 0x20) out += source[i];
  }
  return out;
}

TEST(JsonEscape, MatchesTheByteByByteRuleAtEveryOffsetAndCut) {
  const unsigned char probes[] = {0x01, 0x1f, 0x20, 0x21, '"', 0x23, 0x5b, '\\', 0x5d,
                                  0x7f, 0x80, 0x9f, 0xa0, 0xa2, 0xdc, 0xff};
  for (const char filler : {'x', '\xa2', '\xdc'}) {
    for (const unsigned char probe : probes) {
      for (std::size_t at = 0; at < 20; ++at) {
        std::string source(20, filler);
        source[at] = static_cast<char>(probe);
        source += filler == 'x' ? "tail\\" : "";
        for (std::uint64_t capacity = 3; capacity <= 48; ++capacity) {
          std::vector<char> buffer(capacity + 1, '#');
          tacetra::json_escape(source.c_str(), buffer.data(), capacity);
          ASSERT_EQ(std::string(buffer.data()), escaped_byte_by_byte(source, capacity))
              << "probe " << int{probe} << " at " << at << ", capacity " << capacity;
          ASSERT_EQ(buffer.back(), '#');
        }
      }
    }
  }
}

}  // namespace
