#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

#include "common/av_handles.h"
#include "common/local_files.h"
#include "common/millis.h"
#include "common/output_io.h"
#include "common/partial_file.h"
#include "common/write_back.h"
#include "jobs/file_metadata.h"
#include "jobs/output_stream.h"
#include "jobs/session.h"
#include "jobs/stream_fate.h"
#include "jobs/subtitle_convert.h"
#include "jobs/timestamp_fix.h"

namespace tacetra {
namespace {

// A timestamp moved back by `shift`. A missing one stays missing, and so
// does one that would leave the 64-bit range, which only a broken file has.
std::int64_t shifted(std::int64_t ts, std::int64_t shift) {
  std::int64_t moved = 0;
  if (ts == AV_NOPTS_VALUE || __builtin_sub_overflow(ts, shift, &moved)) return AV_NOPTS_VALUE;
  return moved;
}

// How far the worker looks at most for the first packet of each video
// stream: a number of packets, and a number of bytes held.
constexpr std::size_t kLookAheadPackets = 32;
constexpr std::int64_t kLookAheadBytes = 16 * 1024 * 1024;

// One job's work: copies every non-audio stream of the slot's input into its
// output, packet for packet. It writes the slot's figures and error text as
// it goes and returns the final state, which the caller publishes once the
// job's objects are gone: its members release the packet, the output (its
// I/O before the context), the input and the stream map, in that order, then
// end the write-back, and last delete the partial file unless the copy took
// the output's name.
class mute_job {
 public:
  explicit mute_job(mute_session& session) : s_(session) {}

  job_state run() {
    start_us_ = av_gettime();
    if (const char* error = set_up()) return fail(error);
    return copy();
  }

 private:
  // Returns null once the output's header is written, else the failure.
  const char* set_up() {
    if (open_local_input(s_.in_path_resolved, input_) < 0) return "cannot open input";
    if (avformat_find_stream_info(input_.get(), nullptr) < 0) return "no stream info";
    store(s_.total_ms, duration_ms(input_->duration));

    AVFormatContext* output = nullptr;
    const int created = avformat_alloc_output_context2(&output, nullptr, nullptr, s_.out_path);
    output_.reset(output);
    if (created < 0 || output == nullptr) return "cannot create output";
    // A muxer that writes files of its own (image sequences, playlists and
    // their segments) would write, and on failure leave or delete, files
    // beside the job's one output: such an output is refused before
    // anything is written.
    if (output->oformat->flags & AVFMT_NOFILE) return "cannot create output";
    // Any further file a muxer opens goes through the context's I/O
    // callbacks, which honour the same local-files-only rule.
    if (av_opt_set(output, "protocol_whitelist", "file", 0) < 0) return "oom";

    map_length_ = input_->nb_streams;
    stream_map_.reset(static_cast<int*>(av_calloc(map_length_, sizeof(int))));
    packet_.reset(av_packet_alloc());
    if (stream_map_ == nullptr || packet_ == nullptr) return "oom";

    // Copies start their timeline at 0, as FFmpeg's own stream copy does:
    // every stream moves back by the same time, in its own time base, so
    // the streams stay in step.
    start_shift_.reset(static_cast<std::int64_t*>(av_calloc(map_length_, sizeof(std::int64_t))));
    last_dts_.reset(static_cast<std::int64_t*>(av_calloc(map_length_, sizeof(std::int64_t))));
    if (start_shift_ == nullptr || last_dts_ == nullptr) return "oom";

    const bool covers = covers_as_files(*input_, *output->oformat);
    const std::vector<stream_fate> fates = plan_streams(*input_, *output->oformat);
    converters_.resize(map_length_);
    int next_output = 0;
    for (unsigned i = 0; i < map_length_; ++i) {
      AVStream* in = input_->streams[i];
      const stream_fate& fate = fates[i];
      if (fate.what == stream_fate::kind::dropped || fate.what == stream_fate::kind::left_out) {
        // The demuxer then skips this stream's data instead of handing it
        // over to be dropped here.
        in->discard = AVDISCARD_ALL;
        stream_map_[i] = -1;
        continue;
      }
      AVStream* out = avformat_new_stream(output, nullptr);
      if (out == nullptr) return "new stream failed";
      if (fate.what == stream_fate::kind::converted) {
        if (!set_up_converted_stream(i, fate.to, *out)) return "param copy failed";
      } else if (!set_up_output_stream(*in, *out, *output->oformat, covers)) {
        return "param copy failed";
      }
      last_dts_[next_output] = AV_NOPTS_VALUE;
      stream_map_[i] = next_output++;
    }
    // Known once the dropped streams are marked.
    const std::int64_t start_us = copy_start_us(*input_);
    for (unsigned i = 0; i < map_length_; ++i) {
      start_shift_[i] = av_rescale_q(start_us, AVRational{1, AV_TIME_BASE}, input_->streams[i]->time_base);
    }
    mark_default_streams(*output);
    if (!copy_file_tags(*input_, *output)) return "oom";
    if (!copy_chapters(*input_, *output, start_us)) return "oom";

    if (const char* error = look_ahead()) return error;
    if (const char* error = open_output(*output)) return error;
    if (avformat_write_header(output, nullptr) < 0) return "write header failed";
    return nullptr;
  }

  // A text subtitle the container cannot hold as it is: its cues re-encoded.
  bool set_up_converted_stream(unsigned index, AVCodecID to, AVStream& out) {
    const AVStream& in = *input_->streams[index];
    auto converter = std::make_unique<subtitle_converter>();
    if (!converter->open(in, to) || converter->output_parameters(*out.codecpar) < 0) return false;
    out.time_base = in.time_base;
    // Its language, title and flags as the input's.
    if (av_dict_copy(&out.metadata, in.metadata, 0) < 0) return false;
    out.disposition = in.disposition;
    converters_[index] = std::move(converter);
    return true;
  }

  // Some inputs (AVI, and Matroska in its AVI-compatible mode, with
  // B-frames, among others) hand out video packets without a presentation
  // time, which most muxers refuse. Such an input is read again with
  // FFmpeg's generated presentation times, which it takes from the decoding
  // times of the packets that follow. Such a file shows it from its first
  // video packet on: the first frame's is always held back for the
  // reordering, and never comes. An input whose first video packets state
  // theirs is read as it is, and the packets looked at are held for the
  // copy, so that a file read as it arrives gives the worker its first
  // packets as soon as before.
  const char* look_ahead() {
    unsigned videos = 0;
    for (unsigned i = 0; i < map_length_; ++i) {
      if (stream_map_[i] >= 0 && input_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ++videos;
    }
    std::vector<bool> seen(map_length_, false);
    bool missing = false;
    std::int64_t held_bytes = 0;
    while (!missing && videos > 0 && held_.size() < kLookAheadPackets && held_bytes < kLookAheadBytes) {
      packet_ptr packet(av_packet_alloc());
      if (packet == nullptr) return "oom";
      if (av_read_frame(input_.get(), packet.get()) < 0) {
        input_ended_ = true;
        break;
      }
      const int index = packet->stream_index;
      if (index >= 0 && static_cast<unsigned>(index) < map_length_ && stream_map_[index] >= 0 &&
          input_->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !seen[index]) {
        seen[index] = true;
        --videos;
        missing = packet->pts == AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE;
      }
      held_bytes += packet->size;
      held_.push_back(std::move(packet));
    }
    if (!missing) return nullptr;

    held_.clear();
    input_ended_ = false;
    if (open_local_input(s_.in_path_resolved, input_) < 0) return "cannot open input";
    input_->flags |= AVFMT_FLAG_GENPTS;
    if (avformat_find_stream_info(input_.get(), nullptr) < 0) return "no stream info";
    // The same file gives the same streams; one that changed meanwhile and
    // lost some is taken for unreadable.
    if (input_->nb_streams < map_length_) return "no stream info";
    for (unsigned i = 0; i < map_length_; ++i) {
      if (stream_map_[i] < 0) input_->streams[i]->discard = AVDISCARD_ALL;
    }
    return nullptr;
  }

  // The next packet of the input: those held by the look-ahead first.
  bool read_packet(AVPacket* packet) {
    if (!held_.empty()) {
      av_packet_move_ref(packet, held_.front().get());
      held_.pop_front();
      return true;
    }
    return !input_ended_ && av_read_frame(input_.get(), packet) >= 0;
  }

  // The copy goes to a partial file of the job's own beside out_path, which
  // takes out_path's name only when the copy is complete. Only a local file
  // is written: an output that FFmpeg would read as a URL, or that is
  // spelled "file:NAME", which the runtime would take for another name, is
  // refused.
  const char* open_output(AVFormatContext& output) {
    const char* protocol = avio_find_protocol_name(s_.out_path);
    if (protocol == nullptr || std::strcmp(protocol, "file") != 0 ||
        ffmpeg_file_name(s_.out_path) != s_.out_path) {
      return "cannot open output file";
    }
    if (partial_.create(s_.out_path_resolved) != partial_file::created::ok) return "cannot open output file";
    output.pb = new_output_io(written_);
    if (output.pb == nullptr) return "oom";
    output.flags |= AVFMT_FLAG_CUSTOM_IO;
    return nullptr;
  }

  job_state copy() {
    AVPacket* packet = packet_.get();
    std::int64_t processed_ms = 0;
    std::int64_t packets = 0;
    while (read_packet(packet)) {
      if (load(s_.cancel) != 0) {
        av_packet_unref(packet);
        return MUTE_CANCELLED;
      }
      const int in_index = packet->stream_index;
      const int out_index = in_index >= 0 && static_cast<unsigned>(in_index) < map_length_
                                ? stream_map_[in_index]
                                : -1;
      // A cover kept as an attached file is written with the header.
      if (out_index >= 0 &&
          output_->streams[out_index]->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT) {
        if (subtitle_converter* converter = converters_[in_index].get()) {
          const auto converted = converter->convert(*packet);
          if (converted == subtitle_converter::result::failed) return fail("write frame failed");
          if (converted == subtitle_converter::result::no_cue) continue;
        }
        const AVRational in_time_base = input_->streams[in_index]->time_base;
        if (packet->pts != AV_NOPTS_VALUE) {
          const std::int64_t ms = av_rescale_q(packet->pts, in_time_base, AVRational{1, 1000});
          if (ms > processed_ms) {
            processed_ms = ms;
            store(s_.processed_ms, ms);
          }
        }
        // Progress above counts the time as read; the copy's starts at 0.
        packet->pts = shifted(packet->pts, start_shift_[in_index]);
        packet->dts = shifted(packet->dts, start_shift_[in_index]);
        // The header write may have changed the output's time base.
        const AVStream& out = *output_->streams[out_index];
        av_packet_rescale_ts(packet, in_time_base, out.time_base);
        keep_dts_order(*packet, last_dts_[out_index], out, *output_->oformat);
        packet->stream_index = out_index;
        packet->pos = -1;
        store(s_.packets, ++packets);
        if (av_interleaved_write_frame(output_.get(), packet) < 0) {
          av_packet_unref(packet);
          return fail("write frame failed");
        }
      }
      av_packet_unref(packet);
    }
    return finish();
  }

  // Done only once every byte reached the file: the trailer, the I/O
  // context's own error state (every write it made) and the file's flush to
  // the disk all succeeded. Only then does the copy replace out_path, and
  // done waits for that name to be on the disk too.
  job_state finish() {
    if (av_write_trailer(output_.get()) < 0) return fail("write trailer failed");
    avio_flush(output_->pb);
    if (output_->pb->error < 0 || !written_.finish() || !partial_.finish()) {
      return fail("write trailer failed");
    }
    output_.reset();
    if (!partial_.commit()) return fail("cannot open output file");
    if (!partial_.flush_name()) return fail("write trailer failed");
    store(s_.out_size_bytes, partial_.size());
    store(s_.elapsed_ms, (av_gettime() - start_us_) / 1000);
    return MUTE_DONE;
  }

  job_state fail(const char* error) {
    std::snprintf(s_.error, sizeof s_.error, "%s", error);
    return MUTE_FAILED;
  }

  mute_session& s_;
  std::int64_t start_us_ = 0;
  unsigned map_length_ = 0;
  // Released in the reverse order: the partial file goes last, after the
  // write-back that uses its handle.
  partial_file partial_;
  write_back written_{partial_};
  av_array<int> stream_map_;
  av_array<std::int64_t> start_shift_;  // per input stream, in its time base
  av_array<std::int64_t> last_dts_;     // per output stream, the last one written
  // Packets read by the look-ahead, not yet copied; whether that reading
  // came to the end of the input.
  std::deque<packet_ptr> held_;
  bool input_ended_ = false;
  input_context input_;
  output_context output_;
  // Per input stream: the re-encoder of a converted text subtitle stream.
  std::vector<std::unique_ptr<subtitle_converter>> converters_;
  packet_ptr packet_;
};

}  // namespace

void mute_thread(mute_session* s) {
  store(s->state, MUTE_RUNNING);
  // The job's objects are released, and its partial file gone, by the end
  // of this statement.
  const job_state final_state = mute_job(*s).run();
  // Published last: a reader that sees a final state sees its figures.
  store(s->state, final_state, std::memory_order_release);
}

}  // namespace tacetra
