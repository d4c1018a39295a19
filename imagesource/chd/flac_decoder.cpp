// libFLAC over MAME's FLAC hunks: the frames follow no stream header, so the decoder is fed a
// STREAMINFO block made up for them first (44.1 kHz, 2 channels, 16 bits, the block size the
// compressor used), then the hunk's bytes.
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstring>

#include "hunk_codec.h"

namespace velmor::imagesource::chd {
namespace {

constexpr size_t kHeaderBytes = 0x2A;

class LibFlacDecoder final : public FlacDecoder {
public:
  LibFlacDecoder() : decoder_(FLAC__stream_decoder_new()) {}
  ~LibFlacDecoder() override {
    if (decoder_ != nullptr)
      FLAC__stream_decoder_delete(decoder_);
  }

  bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength, uint32_t blockSize,
              bool bigEndian, size_t *used) override {
    if (decoder_ == nullptr || outLength % 4 != 0)
      return false;
    MakeHeader(blockSize);
    input_ = src;
    inputLength_ = length;
    position_ = 0;
    out_ = out;
    outLength_ = outLength;
    written_ = 0;
    bigEndian_ = bigEndian;
    bad_ = false;
    if (FLAC__stream_decoder_init_stream(decoder_, ReadCallback, nullptr, TellCallback, nullptr,
                                         nullptr, WriteCallback, nullptr, ErrorCallback,
                                         this) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
      return false;
    bool ok = true;
    while (ok && written_ < outLength_) {
      if (!FLAC__stream_decoder_process_single(decoder_) || bad_ ||
          FLAC__stream_decoder_get_state(decoder_) >= FLAC__STREAM_DECODER_END_OF_STREAM)
        ok = false;
    }
    FLAC__uint64 at = 0;
    ok = ok && written_ == outLength_ && FLAC__stream_decoder_get_decode_position(decoder_, &at) &&
         at >= kHeaderBytes && at - kHeaderBytes <= length;
    if (ok)
      *used = size_t(at - kHeaderBytes);
    FLAC__stream_decoder_finish(decoder_);
    return ok;
  }

private:
  void MakeHeader(uint32_t blockSize) {
    std::memset(header_, 0, sizeof header_);
    std::memcpy(header_, "fLaC", 4);
    header_[4] = 0x80; // STREAMINFO, the last metadata block
    header_[7] = 0x22;
    // The encoder's block size, as minimum and maximum: frames numbered by frame (not by
    // sample) are placed by it, and a wrong one reads as missing frames.
    const uint32_t block = std::min<uint32_t>(blockSize, 0xFFFF);
    header_[8] = header_[10] = uint8_t(block >> 8);
    header_[9] = header_[11] = uint8_t(block);
    constexpr uint32_t kRate = 44100;
    header_[0x12] = uint8_t(kRate >> 12);
    header_[0x13] = uint8_t(kRate >> 4);
    header_[0x14] = uint8_t(kRate << 4 | (2 - 1) << 1); // 2 channels, sample bits' top bit 0
    header_[0x15] = 0xF0;                               // 16 bits per sample
  }

  static FLAC__StreamDecoderReadStatus ReadCallback(const FLAC__StreamDecoder *, FLAC__byte out[],
                                                    size_t *bytes, void *self) {
    auto *d = static_cast<LibFlacDecoder *>(self);
    const size_t total = kHeaderBytes + d->inputLength_;
    size_t n = std::min(*bytes, total - d->position_);
    *bytes = n;
    if (n == 0)
      return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    size_t done = 0;
    if (d->position_ < kHeaderBytes) {
      const size_t h = std::min(n, kHeaderBytes - d->position_);
      std::memcpy(out, d->header_ + d->position_, h);
      done = h;
    }
    if (done < n)
      std::memcpy(out + done, d->input_ + (d->position_ + done - kHeaderBytes), n - done);
    d->position_ += n;
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
  }

  static FLAC__StreamDecoderTellStatus TellCallback(const FLAC__StreamDecoder *,
                                                    FLAC__uint64 *offset, void *self) {
    *offset = static_cast<LibFlacDecoder *>(self)->position_;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
  }

  static FLAC__StreamDecoderWriteStatus WriteCallback(const FLAC__StreamDecoder *,
                                                      const FLAC__Frame *frame,
                                                      const FLAC__int32 *const buffer[],
                                                      void *self) {
    auto *d = static_cast<LibFlacDecoder *>(self);
    const uint32_t samples = frame->header.blocksize;
    if (frame->header.channels != 2 || frame->header.bits_per_sample != 16 ||
        uint64_t(samples) * 4 > d->outLength_ - d->written_) {
      d->bad_ = true;
      return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    uint8_t *to = d->out_ + d->written_;
    const int high = d->bigEndian_ ? 0 : 1;
    for (uint32_t i = 0; i < samples; ++i) {
      for (int c = 0; c < 2; ++c) {
        const uint16_t v = uint16_t(buffer[c][i]);
        to[high] = uint8_t(v >> 8);
        to[1 - high] = uint8_t(v);
        to += 2;
      }
    }
    d->written_ += size_t(samples) * 4;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  }

  static void ErrorCallback(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus,
                            void *self) {
    static_cast<LibFlacDecoder *>(self)->bad_ = true;
  }

  FLAC__StreamDecoder *decoder_;
  uint8_t header_[kHeaderBytes];
  const uint8_t *input_ = nullptr;
  size_t inputLength_ = 0;
  size_t position_ = 0;
  uint8_t *out_ = nullptr;
  size_t outLength_ = 0;
  size_t written_ = 0;
  bool bigEndian_ = false;
  bool bad_ = false;
};

} // namespace

std::unique_ptr<FlacDecoder> MakeFlacDecoder() { return std::make_unique<LibFlacDecoder>(); }

} // namespace velmor::imagesource::chd
