#include "server_channel.h"

#include <cstring>

namespace velmor::channel {
namespace {

constexpr uint32_t kHeaderBytes = 12;
constexpr uint32_t kReplyFixedBytes = 12; // status, code, letter, text size

class Writer {
public:
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint16_t v) {
    U8(uint8_t(v));
    U8(uint8_t(v >> 8));
  }
  void U32(uint32_t v) {
    U16(uint16_t(v));
    U16(uint16_t(v >> 16));
  }
  void Bytes(const void *data, size_t size) {
    const auto *b = static_cast<const uint8_t *>(data);
    bytes_.insert(bytes_.end(), b, b + size);
  }
  // The header, its body size filled in by Finish.
  void Header(Kind kind) {
    U32(kMagic);
    U16(kVersion);
    U16(uint16_t(kind));
    U32(0);
  }
  std::vector<uint8_t> Finish() {
    const uint32_t body = uint32_t(bytes_.size() - kHeaderBytes);
    for (int i = 0; i < 4; ++i)
      bytes_[8 + i] = uint8_t(body >> (8 * i));
    return std::move(bytes_);
  }

private:
  std::vector<uint8_t> bytes_;
};

// Every read checks the bytes left; a reader that ran short stays failed.
class Reader {
public:
  Reader(const uint8_t *bytes, size_t size) : at_(bytes), left_(size) {}
  bool U8(uint8_t *v) {
    if (left_ < 1)
      return ok_ = false;
    *v = *at_++;
    --left_;
    return true;
  }
  bool U16(uint16_t *v) {
    uint8_t a = 0, b = 0;
    if (!U8(&a) || !U8(&b))
      return false;
    *v = uint16_t(a | b << 8);
    return true;
  }
  bool U32(uint32_t *v) {
    uint16_t a = 0, b = 0;
    if (!U16(&a) || !U16(&b))
      return false;
    *v = a | uint32_t(b) << 16;
    return true;
  }
  bool Bytes(void *out, size_t size) {
    if (left_ < size)
      return ok_ = false;
    std::memcpy(out, at_, size);
    at_ += size;
    left_ -= size;
    return true;
  }
  bool AtEnd() const { return ok_ && left_ == 0; }
  bool ok() const { return ok_; }

private:
  const uint8_t *at_;
  size_t left_;
  bool ok_ = true;
};

bool KnownKind(uint16_t kind) { return kind >= 1 && kind <= 6; }
bool IsLetter(char16_t c) { return c >= u'A' && c <= u'Z'; }

// The header: magic, version, a known kind, and a body size that is exactly what follows.
bool ReadHeader(Reader &in, size_t size, Kind *kind) {
  uint32_t magic = 0, body = 0;
  uint16_t version = 0, k = 0;
  if (size > kMaxMessageBytes || !in.U32(&magic) || !in.U16(&version) || !in.U16(&k) ||
      !in.U32(&body))
    return false;
  if (magic != kMagic || version != kVersion || !KnownKind(k) || body != size - kHeaderBytes)
    return false;
  *kind = Kind(k);
  return true;
}

} // namespace

std::vector<uint8_t> EncodeRequest(const Request &r) {
  Writer out;
  out.Header(r.kind);
  if (r.kind == Kind::kMount) {
    out.U16(uint16_t(r.letter));
    out.U16(uint16_t(r.path.size()));
    for (const char16_t c : r.path)
      out.U16(uint16_t(c));
  } else if (r.kind == Kind::kEject) {
    out.U16(uint16_t(r.letter));
  }
  return out.Finish();
}

bool DecodeRequest(const uint8_t *bytes, size_t size, Request *r) {
  Reader in(bytes, size);
  *r = Request{};
  if (!ReadHeader(in, size, &r->kind))
    return false;
  uint16_t letter = 0;
  switch (r->kind) {
  case Kind::kMount: {
    uint16_t units = 0;
    if (!in.U16(&letter) || !in.U16(&units) || units == 0 || units > kMaxPathUnits)
      return false;
    if (!IsLetter(letter))
      return false;
    r->path.resize(units);
    for (char16_t &c : r->path) {
      uint16_t u = 0;
      if (!in.U16(&u) || u == 0)
        return false;
      c = char16_t(u);
    }
    break;
  }
  case Kind::kEject:
    if (!in.U16(&letter) || !IsLetter(letter))
      return false;
    break;
  default:
    break;
  }
  r->letter = char16_t(letter);
  return in.AtEnd();
}

std::vector<uint8_t> EncodeReply(const Reply &r) {
  Writer out;
  out.Header(r.kind);
  out.U32(uint32_t(r.status));
  out.U32(r.code);
  out.U16(uint16_t(r.letter));
  const size_t text = r.text.size() < kMaxTextBytes ? r.text.size() : kMaxTextBytes;
  out.U16(uint16_t(text));
  out.Bytes(r.text.data(), text);
  if (r.kind == Kind::kHello && r.status == Status::kOk) {
    out.Bytes(r.identity, kIdentityBytes);
  } else if (r.kind == Kind::kList && r.status == Status::kOk) {
    const size_t count = r.drives.size() < 26 ? r.drives.size() : 26;
    out.U16(uint16_t(count));
    for (size_t i = 0; i < count; ++i) {
      out.U16(uint16_t(r.drives[i].letter));
      out.U8(uint8_t(r.drives[i].state));
      out.U8(0);
      out.U32(r.drives[i].code);
    }
  }
  return out.Finish();
}

bool DecodeReply(const uint8_t *bytes, size_t size, Kind asked, Reply *r) {
  Reader in(bytes, size);
  *r = Reply{};
  uint32_t status = 0;
  uint16_t letter = 0, text = 0;
  if (!ReadHeader(in, size, &r->kind) || r->kind != asked || !in.U32(&status) ||
      !in.U32(&r->code) || !in.U16(&letter) || !in.U16(&text) || text > kMaxTextBytes)
    return false;
  if (status > uint32_t(Status::kTooLong) || (letter != 0 && !IsLetter(letter)))
    return false;
  r->status = Status(status);
  r->letter = char16_t(letter);
  r->text.resize(text);
  if (!in.Bytes(r->text.data(), text))
    return false;
  if (r->kind == Kind::kHello && r->status == Status::kOk) {
    if (!in.Bytes(r->identity, kIdentityBytes))
      return false;
  } else if (r->kind == Kind::kList && r->status == Status::kOk) {
    uint16_t count = 0;
    if (!in.U16(&count) || count > 26)
      return false;
    for (uint16_t i = 0; i < count; ++i) {
      ListedDrive d;
      uint16_t l = 0;
      uint8_t state = 0, reserved = 0;
      if (!in.U16(&l) || !in.U8(&state) || !in.U8(&reserved) || !in.U32(&d.code) || !IsLetter(l) ||
          state > uint8_t(NotMounted::kReleased))
        return false;
      d.letter = char16_t(l);
      d.state = NotMounted(state);
      r->drives.push_back(d);
    }
  }
  return in.AtEnd();
}

} // namespace velmor::channel
