// Deflate, LZMA and zstd hunks: each library's own decoder, reused from hunk to hunk.
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>

#include "hunk_codec.h"

namespace velmor::imagesource::chd {
namespace {

class DeflateCodec final : public HunkCodec {
public:
  DeflateCodec() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ~DeflateCodec() override {
    if (ready_)
      inflateEnd(&stream_);
  }
  bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength) override {
    if (!ready_ || length > UINT_MAX || outLength > UINT_MAX || inflateReset(&stream_) != Z_OK)
      return false;
    stream_.next_in = const_cast<Bytef *>(src);
    stream_.avail_in = uInt(length);
    stream_.next_out = out;
    stream_.avail_out = uInt(outLength);
    const int result = inflate(&stream_, Z_FINISH);
    return (result == Z_STREAM_END || result == Z_OK || result == Z_BUF_ERROR) &&
           stream_.avail_out == 0;
  }

private:
  z_stream stream_{};
  bool ready_ = false;
};

// MAME's LZMA hunks are raw LZMA1 (lc 3, lp 0, pb 2) without an end marker, the dictionary
// sized from the hunk: any dictionary at least as large decodes them.
class LzmaCodec final : public HunkCodec {
public:
  explicit LzmaCodec(uint32_t hunkBytes) {
    options_.dict_size = std::max<uint32_t>(LZMA_DICT_SIZE_MIN, hunkBytes);
    options_.lc = 3;
    options_.lp = 0;
    options_.pb = 2;
    filters_[0] = {LZMA_FILTER_LZMA1, &options_};
    filters_[1] = {LZMA_VLI_UNKNOWN, nullptr};
  }
  ~LzmaCodec() override { lzma_end(&stream_); }
  bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength) override {
    if (lzma_raw_decoder(&stream_, filters_) != LZMA_OK)
      return false;
    stream_.next_in = src;
    stream_.avail_in = length;
    stream_.next_out = out;
    stream_.avail_out = outLength;
    while (stream_.avail_out != 0) {
      const size_t before = stream_.avail_in + stream_.avail_out;
      const lzma_ret result = lzma_code(&stream_, LZMA_RUN);
      if (result != LZMA_OK || stream_.avail_in + stream_.avail_out == before)
        break;
    }
    return stream_.avail_out == 0;
  }

private:
  lzma_stream stream_ = LZMA_STREAM_INIT;
  lzma_options_lzma options_{};
  lzma_filter filters_[2];
};

class ZstdCodec final : public HunkCodec {
public:
  ZstdCodec() : context_(ZSTD_createDCtx()) {}
  ~ZstdCodec() override { ZSTD_freeDCtx(context_); }
  bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength) override {
    if (context_ == nullptr)
      return false;
    ZSTD_DCtx_reset(context_, ZSTD_reset_session_only);
    ZSTD_inBuffer in{src, length, 0};
    ZSTD_outBuffer to{out, outLength, 0};
    while (to.pos < to.size) {
      const size_t before = in.pos + to.pos;
      const size_t result = ZSTD_decompressStream(context_, &to, &in);
      if (ZSTD_isError(result) || in.pos + to.pos == before)
        break;
    }
    return to.pos == to.size;
  }

private:
  ZSTD_DCtx *context_;
};

} // namespace

std::unique_ptr<HunkCodec> MakeDeflateCodec() { return std::make_unique<DeflateCodec>(); }
std::unique_ptr<HunkCodec> MakeLzmaCodec(uint32_t hunkBytes) {
  return std::make_unique<LzmaCodec>(hunkBytes);
}
std::unique_ptr<HunkCodec> MakeZstdCodec() { return std::make_unique<ZstdCodec>(); }

} // namespace velmor::imagesource::chd
