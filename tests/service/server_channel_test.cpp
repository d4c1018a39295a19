// The image server's messages: what the programs send reaches the server as sent, and nothing
// that is not a well-formed message of the channel is taken for one.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "server_channel.h"

namespace velmor::channel {
namespace {

std::vector<uint8_t> MountOf(char16_t letter, const std::u16string &path) {
  Request r;
  r.kind = Kind::kMount;
  r.letter = letter;
  r.path = path;
  return EncodeRequest(r);
}

void SetU32(std::vector<uint8_t> &m, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    m[at + i] = uint8_t(v >> (8 * i));
}

TEST(ServerChannelTest, RequestsArriveAsSent) {
  const std::u16string path = u"C:\\光盘\\游戏.chd";
  Request got;
  const auto mount = MountOf(u'K', path);
  ASSERT_TRUE(DecodeRequest(mount.data(), mount.size(), &got));
  EXPECT_EQ(got.kind, Kind::kMount);
  EXPECT_EQ(got.letter, u'K');
  EXPECT_EQ(got.path, path);

  Request eject;
  eject.kind = Kind::kEject;
  eject.letter = u'Z';
  const auto bytes = EncodeRequest(eject);
  ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), &got));
  EXPECT_EQ(got.kind, Kind::kEject);
  EXPECT_EQ(got.letter, u'Z');

  for (const Kind kind : {Kind::kHello, Kind::kList, Kind::kRelease, Kind::kRestore}) {
    Request r;
    r.kind = kind;
    const auto b = EncodeRequest(r);
    ASSERT_TRUE(DecodeRequest(b.data(), b.size(), &got));
    EXPECT_EQ(got.kind, kind);
  }
  // The longest path a drive keeps.
  const auto longest = MountOf(u'D', std::u16string(kMaxPathUnits, u'x'));
  EXPECT_TRUE(DecodeRequest(longest.data(), longest.size(), &got));
}

TEST(ServerChannelTest, MalformedRequestsAreRefused) {
  const auto good = MountOf(u'K', u"C:\\a.chd");
  struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> change;
  };
  const Case cases[] = {
      {"empty", [](auto &m) { m.clear(); }},
      {"header cut", [](auto &m) { m.resize(11); }},
      {"magic", [](auto &m) { m[0] ^= 1; }},
      {"version", [](auto &m) { m[4] = 2; }},
      {"unknown kind", [](auto &m) { m[6] = 9; }},
      {"kind zero", [](auto &m) { m[6] = 0; }},
      {"body size larger than sent", [](auto &m) { SetU32(m, 8, uint32_t(m.size())); }},
      {"body size smaller than sent", [](auto &m) { m.push_back(0); }},
      {"body cut inside the path",
       [](auto &m) { m.resize(m.size() - 2), SetU32(m, 8, uint32_t(m.size() - 12)); }},
      {"letter 0", [](auto &m) { m[12] = 0; }},
      {"letter lower case", [](auto &m) { m[12] = 'k'; }},
      {"letter past Z", [](auto &m) { m[12] = '['; }},
      {"no path", [](auto &m) { m[14] = 0, m.resize(16), SetU32(m, 8, 4); }},
      {"zero unit in the path", [](auto &m) { m[18] = 0, m[19] = 0; }},
      {"more units than follow", [](auto &m) { m[14] = 9; }},
      {"more units than a drive keeps", [](auto &m) { m[14] = 0xF0, m[15] = 1; }},
      {"longer than any message",
       [](auto &m) { m.resize(kMaxMessageBytes + 1), SetU32(m, 8, uint32_t(m.size() - 12)); }},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> m = good;
    c.change(m);
    Request got;
    EXPECT_FALSE(DecodeRequest(m.data(), m.size(), &got)) << c.what;
  }
  Request eject;
  eject.kind = Kind::kEject;
  eject.letter = u'@';
  const auto bad = EncodeRequest(eject);
  Request got;
  EXPECT_FALSE(DecodeRequest(bad.data(), bad.size(), &got)) << "eject of no letter";
}

TEST(ServerChannelTest, RepliesArriveAsSentAndOnlyForTheKindAsked) {
  Reply list;
  list.kind = Kind::kList;
  list.drives = {{u'E', NotMounted::kMounted, 0}, {u'F', NotMounted::kUnreachable, 53}};
  auto bytes = EncodeReply(list);
  Reply got;
  ASSERT_TRUE(DecodeReply(bytes.data(), bytes.size(), Kind::kList, &got));
  ASSERT_EQ(got.drives.size(), 2u);
  EXPECT_EQ(got.drives[1].letter, u'F');
  EXPECT_EQ(got.drives[1].state, NotMounted::kUnreachable);
  EXPECT_EQ(got.drives[1].code, 53u);
  EXPECT_FALSE(DecodeReply(bytes.data(), bytes.size(), Kind::kMount, &got)) << "another kind";

  Reply refused;
  refused.kind = Kind::kMount;
  refused.status = Status::kNotServedImage;
  refused.letter = u'G';
  refused.text = "hunk 12 fails its CRC";
  bytes = EncodeReply(refused);
  ASSERT_TRUE(DecodeReply(bytes.data(), bytes.size(), Kind::kMount, &got));
  EXPECT_EQ(got.status, Status::kNotServedImage);
  EXPECT_EQ(got.text, refused.text);

  Reply hello;
  hello.kind = Kind::kHello;
  std::memset(hello.identity, 0xA5, sizeof hello.identity);
  bytes = EncodeReply(hello);
  ASSERT_TRUE(DecodeReply(bytes.data(), bytes.size(), Kind::kHello, &got));
  EXPECT_EQ(got.identity[15], 0xA5);
  bytes.pop_back();
  EXPECT_FALSE(DecodeReply(bytes.data(), bytes.size(), Kind::kHello, &got)) << "identity cut";
}

TEST(ServerChannelTest, MalformedRepliesAreRefused) {
  Reply list;
  list.kind = Kind::kList;
  list.drives = {{u'E', NotMounted::kMounted, 0}};
  const auto good = EncodeReply(list);
  const size_t entry = 12 + 12 + 2; // header, fixed part, count
  struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> change;
  };
  const Case cases[] = {
      {"unknown status", [](auto &m) { m[12] = 200; }},
      {"letter of no drive", [](auto &m) { m[20] = '1'; }},
      {"text longer than sent", [](auto &m) { m[22] = 5; }},
      {"more drives than sent", [](auto &m) { m[24] = 2; }},
      {"more drives than letters", [](auto &m) { m[24] = 27; }},
      {"listed letter of no drive", [entry](auto &m) { m[entry] = 'e'; }},
      {"unknown state", [entry](auto &m) { m[entry + 2] = 9; }},
      {"bytes after the end",
       [](auto &m) { m.push_back(0), SetU32(m, 8, uint32_t(m.size() - 12)); }},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> m = good;
    c.change(m);
    Reply got;
    EXPECT_FALSE(DecodeReply(m.data(), m.size(), Kind::kList, &got)) << c.what;
  }
}

} // namespace
} // namespace velmor::channel
