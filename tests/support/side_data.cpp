#include "side_data.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
}

#if LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100) && \
    LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
#define FIXTURES_SIDE_DATA_IN_CODECPAR 1
#else
#define FIXTURES_SIDE_DATA_IN_CODECPAR 0
#endif

namespace fixtures {

void add_side_data(AVStream* st, AVPacketSideDataType type, const void* data, std::size_t size) {
#if FIXTURES_SIDE_DATA_IN_CODECPAR
  AVPacketSideData* entry = av_packet_side_data_new(&st->codecpar->coded_side_data,
                                                    &st->codecpar->nb_coded_side_data, type, size, 0);
  std::uint8_t* bytes = entry != nullptr ? entry->data : nullptr;
#else
  std::uint8_t* bytes = av_stream_new_side_data(st, type, size);
#endif
  if (bytes == nullptr) throw std::runtime_error("fixtures: out of memory: stream side data");
  std::memcpy(bytes, data, size);
}

std::vector<std::pair<int, std::string>> side_data_of(const AVStream* st) {
#if FIXTURES_SIDE_DATA_IN_CODECPAR
  const AVPacketSideData* entries = st->codecpar->coded_side_data;
  const int count = st->codecpar->nb_coded_side_data;
#else
  const AVPacketSideData* entries = st->side_data;
  const int count = st->nb_side_data;
#endif
  std::vector<std::pair<int, std::string>> out;
  for (int i = 0; i < count; ++i) {
    out.emplace_back(entries[i].type, std::string(reinterpret_cast<const char*>(entries[i].data), entries[i].size));
  }
  return out;
}

}  // namespace fixtures
