#include "jobs/file_metadata.h"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace tacetra {
namespace {

// Tags that name the program or container version that wrote the input
// (the muxer writes its own, or the MP4 brands it chose), or, in MXF, the
// product that made the file; FFmpeg's own copy leaves them out too.
bool describes_the_writer(const char* key) {
  constexpr const char* writer_keys[] = {"encoder",      "major_brand",  "minor_version", "compatible_brands",
                                         "company_name", "product_name", "product_version"};
  return std::ranges::any_of(writer_keys, [key](const char* k) { return av_strcasecmp(k, key) == 0; });
}

struct chapter_deleter {
  void operator()(AVChapter* ch) const noexcept {
    av_dict_free(&ch->metadata);
    av_free(ch);
  }
};

}  // namespace

bool copy_file_tags(const AVFormatContext& in, AVFormatContext& out) {
  const AVDictionaryEntry* tag = nullptr;
  while ((tag = av_dict_get(in.metadata, "", tag, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    if (describes_the_writer(tag->key)) continue;
    if (av_dict_set(&out.metadata, tag->key, tag->value, 0) < 0) return false;
  }
  return true;
}

bool copy_chapters(const AVFormatContext& in, AVFormatContext& out, std::int64_t shift_us) {
  for (unsigned i = 0; i < in.nb_chapters; ++i) {
    const AVChapter& from = *in.chapters[i];
    const std::int64_t shift = av_rescale_q(shift_us, AVRational{1, AV_TIME_BASE}, from.time_base);
    if (from.end < shift) continue;
    std::unique_ptr<AVChapter, chapter_deleter> to(static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter))));
    if (to == nullptr) return false;
    to->id = from.id;
    to->time_base = from.time_base;
    to->start = std::max<std::int64_t>(0, from.start - shift);
    to->end = from.end - shift;
    if (av_dict_copy(&to->metadata, from.metadata, 0) < 0) return false;
    // The output context owns its chapters from here on and frees them.
    if (av_dynarray_add_nofree(&out.chapters, reinterpret_cast<int*>(&out.nb_chapters), to.get()) < 0) {
      return false;
    }
    to.release();
  }
  return true;
}

}  // namespace tacetra
