// A served drive's serving against a fake driver: each read the driver asks is answered with
// the source's bytes or with a failure, never with bytes the request did not ask for.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>

#include "serve_loop.h"

namespace velmor::serving {
namespace {

uint8_t PatternByte(uint32_t stream, uint64_t at) {
  return uint8_t(at * 7 + stream * 101 + (at >> 11));
}

// Two streams of known bytes; reads touching [badFrom, badTo) of stream 0 fail their check.
class PatternSource final : public imagesource::ImageSource {
public:
  const std::vector<LayoutTrack> &Tracks() const override { return tracks_; }
  uint32_t StreamCount() const override { return 2; }
  uint64_t StreamSize(uint32_t stream) const override { return stream == 0 ? 1 << 20 : 5000; }
  imagesource::ReadResult Read(uint32_t stream, uint64_t offset, void *out,
                               uint32_t length) override {
    ++reads;
    if (stream == 0 && offset < badTo && offset + length > badFrom)
      return imagesource::ReadResult::kDataError;
    auto *bytes = static_cast<uint8_t *>(out);
    for (uint32_t i = 0; i < length; ++i)
      bytes[i] = PatternByte(stream, offset + i);
    return imagesource::ReadResult::kOk;
  }
  uint64_t badFrom = 600000, badTo = 602048;
  int reads = 0;

private:
  std::vector<LayoutTrack> tracks_;
};

// Hands out the planned completions one by one to pending slots and keeps every answer.
class FakeDriver final : public ServeChannel {
public:
  struct Completion {
    ServedRequest request;
    uint32_t size = sizeof(ServedRequest);
  };
  std::deque<Completion> planned;
  std::map<uint32_t, std::vector<uint8_t>> answers; // by request id: the answer and its data
  std::map<unsigned, bool> pending;
  int submits = 0, refuseAfter = -1, emptyInputs = 0;

  bool Submit(unsigned slot, const uint8_t *input, uint32_t size) override {
    if (refuseAfter >= 0 && submits >= refuseAfter)
      return false;
    ++submits;
    EXPECT_FALSE(pending[slot]) << "slot " << slot << " sent again while pending";
    pending[slot] = true;
    if (size == 0) {
      ++emptyInputs;
      return true;
    }
    EXPECT_GE(size, sizeof(ServedAnswer));
    ServedAnswer answer;
    std::memcpy(&answer, input, sizeof answer);
    EXPECT_EQ(size, sizeof answer + answer.length) << "the input is the answer and its data";
    answers[answer.id].assign(input, input + size);
    return true;
  }
  bool Next(unsigned *slot, ServedRequest *request, uint32_t *size) override {
    if (planned.empty())
      return false;
    for (auto &[s, busy] : pending)
      if (busy) {
        busy = false;
        *slot = s;
        *request = planned.front().request;
        *size = planned.front().size;
        planned.pop_front();
        return true;
      }
    ADD_FAILURE() << "a completion with no request pending";
    return false;
  }
  ServedAnswer Answer(uint32_t id) const {
    ServedAnswer a{};
    if (auto it = answers.find(id); it != answers.end())
      std::memcpy(&a, it->second.data(), sizeof a);
    return a;
  }
};

ServedRequest Ask(uint32_t id, uint8_t file, uint64_t offset, uint32_t length,
                  char16_t letter = u'K') {
  ServedRequest r{};
  r.id = id;
  r.letter = letter;
  r.file = file;
  r.offsetLow = uint32_t(offset);
  r.offsetHigh = uint32_t(offset >> 32);
  r.length = length;
  return r;
}

TEST(ServeLoopTest, ReadsAreAnsweredWithTheSourcesBytesAndOthersFail) {
  PatternSource source;
  FakeDriver driver;
  struct Case {
    ServedRequest request;
    bool ok;
    const char *what;
  };
  const Case cases[] = {
      {Ask(1, 0, 0, 2048), true, "the first sector"},
      {Ask(2, 0, 12345, kServedMaxRead), true, "the most a request asks for"},
      {Ask(3, 1, 4000, 1000), true, "the second stream up to its end"},
      {Ask(4, 0, (1 << 20) - 2048, 2048), true, "the last sector"},
      {Ask(5, 0, 0, kServedMaxRead + 1), false, "more than a request may ask"},
      {Ask(6, 0, 0, 0), false, "nothing"},
      {Ask(7, 1, 4000, 1001), false, "past the stream's end"},
      {Ask(8, 0, ~uint64_t(0) - 10, 2048), false, "an offset that wraps"},
      {Ask(9, 2, 0, 2048), false, "a stream the source does not have"},
      {Ask(10, 0, 0, 2048, u'L'), false, "another drive's letter"},
      {Ask(11, 0, 600000 - 100, 2048), false, "bytes that fail their check"},
  };
  for (const Case &c : cases)
    driver.planned.push_back({c.request});
  EXPECT_EQ(RunServeLoop(driver, source, u'K'), std::size(cases));
  EXPECT_EQ(driver.emptyInputs, int(kServeSlots)) << "the first requests carry no answer";
  for (const Case &c : cases) {
    const ServedAnswer a = driver.Answer(c.request.id);
    EXPECT_EQ(a.id, c.request.id) << c.what;
    EXPECT_EQ(a.letter, c.request.letter) << c.what;
    if (!c.ok) {
      EXPECT_EQ(a.result, kServedAnswerFailed) << c.what;
      EXPECT_EQ(a.length, 0u) << c.what;
      continue;
    }
    ASSERT_EQ(a.result, kServedAnswerOk) << c.what;
    ASSERT_EQ(a.length, c.request.length) << c.what;
    const std::vector<uint8_t> &bytes = driver.answers[c.request.id];
    for (uint32_t i = 0; i < a.length; ++i)
      ASSERT_EQ(bytes[sizeof a + i], PatternByte(c.request.file, ServedOffset(c.request) + i))
          << c.what << " at " << i;
  }
  EXPECT_EQ(source.reads, 5) << "only requests inside a stream reach the source";
}

TEST(ServeLoopTest, CompletionsThatAreNoRequestGetNoAnswerAndARefusedSendEndsTheDrive) {
  PatternSource source;
  FakeDriver driver;
  driver.planned.push_back({Ask(1, 0, 0, 2048), 10}); // short
  driver.planned.push_back({Ask(0, 0, 0, 2048)});     // no id
  driver.planned.push_back({Ask(2, 0, 0, 2048)});
  EXPECT_EQ(RunServeLoop(driver, source, u'K'), 1u);
  EXPECT_EQ(driver.answers.count(1), 0u);
  EXPECT_EQ(driver.answers.count(0), 0u);
  EXPECT_EQ(driver.Answer(2).result, kServedAnswerOk);
  EXPECT_EQ(driver.emptyInputs, int(kServeSlots) + 2) << "sent again, empty";

  FakeDriver refusing;
  refusing.refuseAfter = int(kServeSlots) + 1;
  for (uint32_t id = 1; id <= 5; ++id)
    refusing.planned.push_back({Ask(id, 0, id * 2048, 2048)});
  EXPECT_EQ(RunServeLoop(refusing, source, u'K'), 2u) << "the second answer is refused: the end";
  EXPECT_EQ(refusing.planned.size(), 3u);
}

} // namespace
} // namespace velmor::serving
