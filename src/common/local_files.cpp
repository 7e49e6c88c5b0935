#include "common/local_files.h"

#include <cstring>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

namespace tacetra {

const char* ffmpeg_file_name(const char* path) {
  constexpr char prefix[] = "file:";
  return std::strncmp(path, prefix, sizeof prefix - 1) == 0 ? path + sizeof prefix - 1 : path;
}

int open_local_input(const char* path, input_context& input) {
  AVDictionary* options = nullptr;
  if (const int rc = av_dict_set(&options, "protocol_whitelist", "file", 0); rc < 0) return rc;
  AVFormatContext* ctx = nullptr;
  const int rc = avformat_open_input(&ctx, path, nullptr, &options);
  av_dict_free(&options);
  input.reset(ctx);
  return rc;
}

}  // namespace tacetra
