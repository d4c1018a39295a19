#include "serve_loop.h"

#include <cstring>
#include <memory>

namespace velmor::serving {
namespace {

ServedAnswer Failed(const ServedRequest &request) {
  ServedAnswer a{};
  a.id = request.id;
  a.letter = request.letter;
  a.result = kServedAnswerFailed;
  a.length = 0;
  return a;
}

bool InsideStream(imagesource::ImageSource &source, const ServedRequest &r) {
  if (r.file >= source.StreamCount() || r.length == 0 || r.length > kServedMaxRead)
    return false;
  const uint64_t size = source.StreamSize(r.file);
  const uint64_t offset = ServedOffset(r);
  return offset <= size && r.length <= size - offset;
}

} // namespace

uint32_t AnswerRequest(imagesource::ImageSource &source, char16_t letter,
                       const ServedRequest &request, uint8_t *out) {
  ServedAnswer answer = Failed(request);
  // A request for another drive's letter is never answered with this drive's bytes.
  if (request.letter == letter && InsideStream(source, request) &&
      source.Read(request.file, ServedOffset(request), out + sizeof answer, request.length) ==
          imagesource::ReadResult::kOk) {
    answer.result = kServedAnswerOk;
    answer.length = request.length;
  }
  std::memcpy(out, &answer, sizeof answer);
  return uint32_t(sizeof answer + answer.length);
}

uint64_t RunServeLoop(ServeChannel &channel, imagesource::ImageSource &source, char16_t letter,
                      unsigned slots) {
  std::vector<std::unique_ptr<uint8_t[]>> buffers;
  for (unsigned i = 0; i < slots; ++i) {
    buffers.push_back(std::make_unique<uint8_t[]>(kAnswerBufferBytes));
    if (!channel.Submit(i, nullptr, 0))
      return 0;
  }
  uint64_t answered = 0;
  unsigned slot = 0;
  ServedRequest request{};
  uint32_t size = 0;
  while (channel.Next(&slot, &request, &size)) {
    if (slot >= slots)
      return answered; // a channel that names no slot of ours has lost its way
    uint8_t *buffer = buffers[slot].get();
    uint32_t answerBytes = 0;
    if (size == sizeof request && request.id != 0) {
      answerBytes = AnswerRequest(source, letter, request, buffer);
      ++answered;
    }
    if (!channel.Submit(slot, answerBytes ? buffer : nullptr, answerBytes))
      return answered;
  }
  return answered;
}

} // namespace velmor::serving
