#include "names.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace velmor {

CharTable::CharTable(Platform &platform) {
  for (unsigned b = 0; b < 256; ++b)
    lengths_[b] = static_cast<unsigned char>(platform.CharLength(static_cast<unsigned char>(b)));
}

std::string UpperAscii(const std::string &text, const CharTable &chars) {
  std::string out = text;
  for (std::size_t i = 0; i < out.size();) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    const unsigned len = chars.Length(c);
    if (len == 1 && c >= 'a' && c <= 'z')
      out[i] = static_cast<char>(c - 'a' + 'A');
    i += len;
  }
  return out;
}

std::string VirtualShortName(const std::string &name) {
  std::string out = name.substr(0, 13);
  for (char &ch : out) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 33 || c > 122)
      ch = '_';
    else if (c >= 'a' && c <= 'z')
      ch = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

namespace {

// Largest cut of an 8-bit name at or below `room` bytes that does not split a character.
std::size_t CutPoint(const std::string &s, std::size_t room, const CharTable &chars) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t len = chars.Length(static_cast<unsigned char>(s[pos]));
    if (pos + len > room)
      break;
    pos += len;
  }
  return pos;
}

// The same for UTF-16: a surrogate pair stays whole.
std::size_t CutPoint(const std::u16string &s, std::size_t room) {
  std::size_t pos = std::min(room, s.size());
  if (pos > 0 && pos < s.size() && s[pos - 1] >= 0xD800 && s[pos - 1] <= 0xDBFF)
    --pos;
  return pos;
}

std::string Suffix8(unsigned attempt) {
  return attempt == 0 ? std::string() : "~" + std::to_string(attempt);
}

std::u16string Suffix16(unsigned attempt) {
  const std::string s = Suffix8(attempt);
  return std::u16string(s.begin(), s.end());
}

// Where the kept extension starts: the last ".", when the extension is short enough to keep.
template <class Str> std::size_t ExtensionStart(const Str &name, bool isFile, std::size_t limit) {
  if (!isFile)
    return name.size();
  const std::size_t dot = name.rfind(static_cast<typename Str::value_type>('.'));
  if (dot == Str::npos || name.size() - dot > limit / 2)
    return name.size();
  return dot;
}

std::string ShortenIso(const std::string &name, bool isFile, std::size_t limit, unsigned attempt,
                       const CharTable &chars) {
  const std::size_t extStart = ExtensionStart(name, isFile, limit);
  const std::string ext = name.substr(extStart);
  const std::string suffix = Suffix8(attempt);
  const std::string stem = name.substr(0, extStart);
  const std::size_t room = limit - ext.size() - suffix.size();
  return stem.substr(0, CutPoint(stem, room, chars)) + suffix + ext;
}

std::u16string ShortenJoliet(const std::u16string &name, bool isFile, std::size_t limit,
                             unsigned attempt) {
  const std::size_t extStart = ExtensionStart(name, isFile, limit);
  const std::u16string ext = name.substr(extStart);
  const std::u16string suffix = Suffix16(attempt);
  const std::u16string stem = name.substr(0, extStart);
  const std::size_t room = limit - ext.size() - suffix.size();
  return stem.substr(0, CutPoint(stem, room)) + suffix + ext;
}

// Joliet names are compared without regard to ASCII case, as Windows readers do.
std::u16string FoldCase(const std::u16string &s) {
  std::u16string out = s;
  for (char16_t &c : out)
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

// A file and a folder of the same name differ in the image by the file's ";1".
template <class Str> Str Key(const Str &ident, bool isFile) {
  Str key = ident;
  if (isFile) {
    key.push_back(static_cast<typename Str::value_type>(';'));
    key.push_back(static_cast<typename Str::value_type>('1'));
  }
  return key;
}

// Whether no two children of dir share an ISO identifier (a file's ";1" sets it apart from a
// folder of the same name). Compares hashes first, so that the common case, where every name is
// distinct, costs no string copies and no allocation per name.
bool IsoIdentifiersDistinct(const TDirNode &dir) {
  std::vector<std::pair<std::size_t, const TEntryNode *>> hashed;
  for (const TEntryNode *e = dir.FirstChild; e; e = e->Next)
    hashed.emplace_back(std::hash<std::string>()(e->IsoIdentifier) ^ (e->IsFolder() ? 0 : 1), e);
  std::sort(hashed.begin(), hashed.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  for (std::size_t i = 0; i < hashed.size(); ++i)
    for (std::size_t j = i + 1; j < hashed.size() && hashed[j].first == hashed[i].first; ++j)
      if (hashed[j].second->IsFolder() == hashed[i].second->IsFolder() &&
          hashed[j].second->IsoIdentifier == hashed[i].second->IsoIdentifier)
        return false;
  return true;
}

} // namespace

void FitIdentifiers(TDirNode &dir, Platform &platform, const CharTable &chars) {
  bool anyPending = false;
  // Long names are unique in the tree, but two of them can still meet in the Joliet tree: bytes
  // that are no character of the code page all become U+FFFD, and a directory may hold names made
  // equal on the way in. Only then are the Joliet names checked against each other.
  bool mayRepeat = dir.MayRepeatNames;
  for (TEntryNode *e = dir.FirstChild; e; e = e->Next) {
    e->IsoIdentifier = e->ShortName;
    e->JolietIdentifier = platform.AnsiToUtf16(e->LongName);
    const std::size_t suffix = e->IsFolder() ? 0 : kVersionSuffixLength;
    anyPending = anyPending || e->IsoIdentifier.size() + suffix > kMaxIsoIdentifier ||
                 e->JolietIdentifier.size() + suffix > kMaxJolietUnits;
    mayRepeat = mayRepeat || e->JolietIdentifier.find(u'\uFFFD') != std::u16string::npos;
  }
  anyPending = anyPending || mayRepeat;
  // Every name fits and none repeats: all keep their form, and the sets below are not needed.
  if (!anyPending && IsoIdentifiersDistinct(dir))
    return;
  // Names that fit and come first keep their form; only the others are reworked.
  std::unordered_set<std::string> isoUsed;
  std::unordered_set<std::u16string> jolietUsed;
  std::unordered_set<std::u16string> jolietExact;
  std::vector<TEntryNode *> isoPending;
  std::vector<TEntryNode *> jolietPending;
  for (TEntryNode *e = dir.FirstChild; e; e = e->Next) {
    const bool isFile = !e->IsFolder();
    const std::size_t suffix = isFile ? kVersionSuffixLength : 0;
    if (e->IsoIdentifier.size() + suffix > kMaxIsoIdentifier ||
        !isoUsed.insert(Key(e->IsoIdentifier, isFile)).second)
      isoPending.push_back(e);
    // Joliet names differ already (see above); only length matters, unless some name is reworked
    // and may meet another. Names that differ only in case keep their case.
    if (e->JolietIdentifier.size() + suffix > kMaxJolietUnits ||
        (mayRepeat && !jolietExact.insert(Key(e->JolietIdentifier, isFile)).second))
      jolietPending.push_back(e);
    else if (anyPending)
      jolietUsed.insert(FoldCase(Key(e->JolietIdentifier, isFile)));
  }
  for (TEntryNode *e : isoPending) {
    const bool isFile = !e->IsFolder();
    const std::size_t limit = kMaxIsoIdentifier - (isFile ? kVersionSuffixLength : 0);
    const std::string original = e->IsoIdentifier;
    unsigned attempt = original.size() > limit ? 0 : 1;
    std::string candidate;
    do
      candidate = ShortenIso(original, isFile, limit, attempt++, chars);
    while (!isoUsed.insert(Key(candidate, isFile)).second);
    e->IsoIdentifier = candidate;
  }
  for (TEntryNode *e : jolietPending) {
    const bool isFile = !e->IsFolder();
    const std::size_t limit = kMaxJolietUnits - (isFile ? kVersionSuffixLength : 0);
    const std::u16string original = e->JolietIdentifier;
    unsigned attempt = 0;
    std::u16string candidate;
    do
      candidate = ShortenJoliet(original, isFile, limit, attempt++);
    while (!jolietUsed.insert(FoldCase(Key(candidate, isFile))).second);
    e->JolietIdentifier = candidate;
  }
}

} // namespace velmor
