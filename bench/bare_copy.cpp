// A job reduced to its FFmpeg calls: the input check that tacetra_start
// makes, then the worker's opens, options, stream set-up, packet loop and
// output file handling (a new partial file written through its own handle,
// made durable and renamed when done), without the slot record, its atomics, a thread or a
// host polling it. Set beside a job it shows what the library's bookkeeping
// costs. With --on-thread the copy runs on a thread of its own, as a job's
// does, and the check stays on the main thread, as in tacetra_start.
//   tacetra_bench_bare_copy [--on-thread] IN OUT
// Prints the packets it wrote, the last packet time and the time from its
// second open to the output's size, as the job counts them, and the wall and
// CPU time of the partial file's finish (the end of the write-back, the fsync
// of what is left, and the close) on their own.
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

#include "common/absolute_path.h"
#include "common/av_handles.h"
#include "common/local_files.h"
#include "common/output_io.h"
#include "common/partial_file.h"
#include "common/write_back.h"
#include "jobs/output_stream.h"
#include "jobs/session.h"

using namespace tacetra;

namespace {

std::int64_t thread_cpu_us() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

int fail(const char* what) {
  std::fprintf(stderr, "bare copy: %s\n", what);
  return 1;
}

input_context open_input(const char* path) {
  input_context input;
  if (open_local_input(path, input) < 0 || avformat_find_stream_info(input.get(), nullptr) < 0) {
    input.reset();
  }
  return input;
}

// The check of tacetra_start: the input opens and has video and audio.
bool has_video_and_audio(const char* path) {
  const input_context input = open_input(path);
  if (input == nullptr) return false;
  bool video = false;
  bool audio = false;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    video |= input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    audio |= input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
  }
  return video && audio;
}

// The worker's part: everything after the check.
int copy(const char* in_path, const char* out_path) {
  const std::int64_t start_us = av_gettime();
  const input_context input = open_input(in_path);
  if (input == nullptr) return fail("cannot open input");

  partial_file partial;  // declared first: it outlives the output's handles
  write_back written(partial);
  AVFormatContext* created = nullptr;
  avformat_alloc_output_context2(&created, nullptr, nullptr, out_path);
  if (created == nullptr) return fail("cannot create output");
  output_context output(created);
  av_opt_set(created, "protocol_whitelist", "file", 0);

  const unsigned stream_count = input->nb_streams;
  av_array<int> stream_map(static_cast<int*>(av_calloc(stream_count, sizeof(int))));
  packet_ptr packet(av_packet_alloc());
  if (stream_map == nullptr || packet == nullptr) return fail("oom");
  int next_output = 0;
  for (unsigned i = 0; i < stream_count; ++i) {
    AVStream* in = input->streams[i];
    if (!keeps_stream(*in)) {
      in->discard = AVDISCARD_ALL;  // skipped by the demuxer, as in the job
      stream_map[i] = -1;
      continue;
    }
    // The job's own stream set-up: the same output bytes.
    AVStream* out = avformat_new_stream(created, nullptr);
    if (out == nullptr || !set_up_output_stream(*in, *out, *created->oformat)) {
      return fail("stream set-up failed");
    }
    stream_map[i] = next_output++;
  }

  if (created->oformat->flags & AVFMT_NOFILE) return fail("cannot create output");
  char out_file[RESOLVED_PATH_CAPACITY];
  if (!absolute_path(out_path, out_file, sizeof out_file) ||
      partial.create(out_file) != partial_file::created::ok) {
    return fail("cannot open output file");
  }
  created->pb = new_output_io(written);
  if (created->pb == nullptr) return fail("oom");
  created->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_write_header(created, nullptr) < 0) return fail("write header failed");

  AVPacket* pkt = packet.get();
  std::int64_t processed_ms = 0;
  std::int64_t packets = 0;
  while (av_read_frame(input.get(), pkt) >= 0) {
    const int in_index = pkt->stream_index;
    if (in_index >= 0 && static_cast<unsigned>(in_index) < stream_count &&
        stream_map[in_index] >= 0) {
      const int out_index = stream_map[in_index];
      // The job computes its progress figure from every copied packet.
      const AVRational in_time_base = input->streams[in_index]->time_base;
      if (pkt->pts != AV_NOPTS_VALUE) {
        const std::int64_t ms = av_rescale_q(pkt->pts, in_time_base, AVRational{1, 1000});
        if (ms > processed_ms) processed_ms = ms;
      }
      av_packet_rescale_ts(pkt, in_time_base, created->streams[out_index]->time_base);
      pkt->stream_index = out_index;
      pkt->pos = -1;
      ++packets;
      if (av_interleaved_write_frame(created, pkt) < 0) return fail("write frame failed");
    }
    av_packet_unref(pkt);
  }
  if (av_write_trailer(created) < 0) return fail("write trailer failed");
  avio_flush(created->pb);
  const std::int64_t finish_start_us = av_gettime();
  const std::int64_t finish_start_cpu_us = thread_cpu_us();
  if (created->pb->error < 0 || !written.finish() || !partial.finish()) {
    return fail("write trailer failed");
  }
  const std::int64_t finish_us = av_gettime() - finish_start_us;
  const std::int64_t finish_cpu_us = thread_cpu_us() - finish_start_cpu_us;
  output.reset();
  if (!partial.commit() || !partial.flush_name()) return fail("cannot rename the partial file");
  const std::int64_t out_size = partial.size();
  const std::int64_t elapsed_ms = (av_gettime() - start_us) / 1000;
  std::printf("{\"out_size_bytes\":%lld,\"packets_written\":%lld,\"processed_ms\":%lld,"
              "\"elapsed_ms\":%lld,\"finish_us\":%lld,\"finish_cpu_us\":%lld}\n",
              static_cast<long long>(out_size), static_cast<long long>(packets),
              static_cast<long long>(processed_ms), static_cast<long long>(elapsed_ms),
              static_cast<long long>(finish_us), static_cast<long long>(finish_cpu_us));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool on_thread = argc == 4 && std::strcmp(argv[1], "--on-thread") == 0;
  if (argc != 3 && !on_thread) return fail("usage: tacetra_bench_bare_copy [--on-thread] IN OUT");
  const char* in_path = argv[argc - 2];
  const char* out_path = argv[argc - 1];

  if (!has_video_and_audio(in_path)) return fail("not an input for a job");
  if (!on_thread) return copy(in_path, out_path);
  int result = 1;
  std::thread worker([&] { result = copy(in_path, out_path); });
  worker.join();
  return result;
}
