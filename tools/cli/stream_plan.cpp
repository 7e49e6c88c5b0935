#include "stream_plan.h"

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "jobs/stream_fate.h"

namespace tacetra_cli {
namespace {

struct input_closer {
  void operator()(AVFormatContext* ctx) const noexcept { avformat_close_input(&ctx); }
};

// The input as the library opens it: local files only.
std::unique_ptr<AVFormatContext, input_closer> open_local(const std::string& path) {
  AVDictionary* options = nullptr;
  if (av_dict_set(&options, "protocol_whitelist", "file", 0) < 0) return nullptr;
  AVFormatContext* raw = nullptr;
  const int opened = avformat_open_input(&raw, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  std::unique_ptr<AVFormatContext, input_closer> input(raw);
  if (opened < 0 || avformat_find_stream_info(raw, nullptr) < 0) return nullptr;
  return input;
}

}  // namespace

std::vector<stream_plan> plan_stream_fates(const std::string& in_path,
                                           const std::string& out_path) {
  const AVOutputFormat* format = av_guess_format(nullptr, out_path.c_str(), nullptr);
  if (format == nullptr) return {};
  const auto input = open_local(in_path);
  if (input == nullptr) return {};
  using kind = tacetra::stream_fate::kind;
  std::vector<stream_plan> plan;
  const std::vector<tacetra::stream_fate> fates = tacetra::plan_streams(*input, *format);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVCodecParameters& par = *input->streams[i]->codecpar;
    switch (fates[i].what) {
      case kind::kept: plan.push_back({"kept", true, false}); break;
      case kind::converted:
        plan.push_back({std::string("converted from ") + avcodec_get_name(par.codec_id) + " to " +
                            avcodec_get_name(fates[i].to),
                        true, true});
        break;
      case kind::left_out:
        plan.push_back({std::string("left out (the ") + format->name + " container cannot hold it)",
                        false, true});
        break;
      case kind::dropped:
        plan.push_back(
            {par.codec_type == AVMEDIA_TYPE_AUDIO ? "dropped (audio)" : "dropped (unknown codec)",
             false, false});
        break;
    }
  }
  return plan;
}

std::string changed_streams(const std::vector<stream_plan>& plan) {
  std::string text;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    if (!plan[i].changed) continue;
    if (!text.empty()) text += ", ";
    text += "stream " + std::to_string(i) + " " + plan[i].fate;
  }
  return text;
}

}  // namespace tacetra_cli
