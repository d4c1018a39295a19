// Makes disc images of every format the program mounts from one small ISO, for the peer
// checks and the Wine tests:
//   make_disc_images <iso> <outdir> [--name BASE] [--audio N] [--audio-sectors S] [--gbk]
// BASE (default "disc") may hold spaces and Chinese; --gbk writes the names inside the
// descriptors in GBK instead of UTF-8 with a byte-order mark. The disc is the ISO as a data
// track at block 0, then N audio tracks (default 2) of S sectors (default 300), each after a
// pregap of 150 sectors. manifest.txt lists each image's expected table of contents, one
// "image<TAB>track<TAB>start block<TAB>data|audio|leadout" line per track and lead-out
// (track 170, as cd-info numbers it).
#include <iconv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cd_sectors.h"
#include "disc_descriptors.h"

namespace velmor::testimages {
namespace {

constexpr uint32_t kGap = 150; // the pregap before each audio track

[[noreturn]] void Fail(const std::string &what, const std::string &why) {
  std::fprintf(stderr, "make_disc_images: %s: %s\n", what.c_str(), why.c_str());
  std::exit(1);
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    Fail(path, std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad())
    Fail(path, "cannot be read");
  return bytes;
}

struct Options {
  std::string iso, dir, name = "disc";
  unsigned audio = 2;
  uint32_t audioSectors = 300;
  bool gbk = false;
};

Options Parse(int argc, char **argv) {
  Options o;
  std::vector<std::string> plain;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool valued = a == "--name" || a == "--audio" || a == "--audio-sectors";
    if (valued && i + 1 == argc)
      Fail(a, "needs a value");
    if (a == "--name")
      o.name = argv[++i];
    else if (a == "--audio")
      o.audio = unsigned(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--audio-sectors")
      o.audioSectors = uint32_t(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--gbk")
      o.gbk = true;
    else if (a.rfind("--", 0) == 0)
      Fail(a, "unknown option");
    else
      plain.push_back(a);
  }
  if (plain.size() != 2)
    Fail("usage", "make_disc_images <iso> <outdir> [--name BASE] [--audio N] "
                  "[--audio-sectors S] [--gbk]");
  if (o.audio > 98 || o.audioSectors < 1)
    Fail("--audio", "1 to 98 audio tracks of at least one sector");
  o.iso = plain[0];
  o.dir = plain[1];
  return o;
}

class Writer {
public:
  Writer(const Options &o) : o_(o) {}

  void File(const std::string &name, const std::string &bytes) const {
    const std::string path = o_.dir + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    if (!out)
      Fail(path, std::strerror(errno));
  }

  // A name as written inside a descriptor: GBK, or the UTF-8 bytes as they are.
  std::string Named(const std::string &name) const {
    if (!o_.gbk)
      return name;
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == iconv_t(-1))
      Fail("GBK", std::strerror(errno));
    std::string in = name, out(name.size() * 2 + 4, '\0');
    char *src = in.data(), *dst = out.data();
    size_t left = in.size(), room = out.size();
    const bool ok = iconv(cd, &src, &left, &dst, &room) != size_t(-1);
    iconv_close(cd);
    if (!ok)
      Fail(name, "has no GBK form");
    out.resize(out.size() - room);
    return out;
  }

  // A text descriptor: a UTF-8 byte-order mark when a name in it is not ASCII (and not GBK).
  void Text(const std::string &name, const std::string &text) const {
    bool ascii = true;
    for (unsigned char c : text)
      ascii = ascii && c < 0x80;
    File(name, (ascii || o_.gbk ? "" : "\xEF\xBB\xBF") + text);
  }

private:
  const Options &o_;
};

std::string Msf(uint32_t frames) {
  char b[16];
  std::snprintf(b, sizeof b, "%02u:%02u:%02u", frames / 4500, frames / 75 % 60, frames % 75);
  return b;
}

struct Disc {
  uint32_t dataSectors = 0;
  std::string iso;                // padded to whole sectors
  std::string mode1, mode2;       // the data track's raw sectors
  std::vector<std::string> audio; // each audio track's sectors
  std::vector<uint32_t> lba;      // each track's start (index 1)
  uint32_t leadOut = 0;
  std::string zeros = std::string(size_t(kGap) * kRawSector, '\0');
};

Disc MakeDisc(const Options &o) {
  Disc d;
  d.iso = ReadFile(o.iso);
  d.iso.resize((d.iso.size() + kUserBytes - 1) / kUserBytes * kUserBytes, '\0');
  d.dataSectors = uint32_t(d.iso.size() / kUserBytes);
  if (d.dataSectors < 18)
    Fail(o.iso, "too small to hold a volume");
  const auto *user = reinterpret_cast<const uint8_t *>(d.iso.data());
  for (uint32_t s = 0; s < d.dataSectors; ++s) {
    d.mode1 += Mode1Sector(s, user + size_t(s) * kUserBytes);
    d.mode2 += Mode2Form1Sector(s, user + size_t(s) * kUserBytes);
  }
  d.lba.push_back(0);
  uint32_t end = d.dataSectors;
  for (unsigned t = 0; t < o.audio; ++t) {
    std::string sectors;
    for (uint32_t s = 0; s < o.audioSectors; ++s)
      sectors += AudioSector(t + 2, s);
    d.audio.push_back(sectors);
    d.lba.push_back(end + kGap);
    end += kGap + o.audioSectors;
  }
  d.leadOut = end;
  return d;
}

// The disc's tracks as the binary descriptors' builders take them: the data track in
// `dataSize`-byte sectors at `first`, audio after it, pregaps stored or not.
std::vector<ImageTrack> Tracks(const Disc &d, uint16_t dataSize, uint64_t first, bool storedGaps,
                               uint32_t firstPregap) {
  std::vector<ImageTrack> tracks(1);
  tracks[0].size = dataSize;
  tracks[0].offset = first;
  tracks[0].sectors = d.dataSectors;
  tracks[0].pregap = firstPregap;
  tracks[0].pregapStored = first > 0;
  uint64_t at = first + uint64_t(d.dataSectors) * dataSize;
  for (size_t i = 0; i < d.audio.size(); ++i) {
    ImageTrack t;
    t.audio = true;
    t.lba = d.lba[i + 1];
    t.sectors = uint32_t(d.audio[i].size() / kRawSector);
    t.pregap = kGap;
    t.pregapStored = storedGaps;
    at += storedGaps ? kGap * kRawSector : 0;
    t.offset = at;
    at += d.audio[i].size();
    tracks.push_back(t);
  }
  return tracks;
}

void WriteCues(const Writer &w, const Disc &d, const std::string &b) {
  // One BIN: mode 1, the audio pregaps stored as INDEX 00.
  std::string bin = d.mode1, cue = "FILE \"" + w.Named(b + ".bin") + "\" BINARY\r\n";
  cue += "  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n";
  for (size_t i = 0; i < d.audio.size(); ++i) {
    char head[64];
    std::snprintf(head, sizeof head, "  TRACK %02zu AUDIO\r\n", i + 2);
    const uint32_t at = uint32_t(bin.size() / kRawSector);
    cue += head + ("    INDEX 00 " + Msf(at) + "\r\n    INDEX 01 " + Msf(at + kGap) + "\r\n");
    bin += d.zeros + d.audio[i];
  }
  w.File(b + ".bin", bin);
  w.Text(b + ".cue", cue);
  // The CloneCD image of the same disc is the same bytes.
  w.File(b + ".img", bin);
  w.File(b + ".sub", std::string(bin.size() / kRawSector * 96, '\0'));
  // One file per track: mode 2, pregaps not stored.
  cue.clear();
  for (size_t t = 0; t <= d.audio.size(); ++t) {
    char number[24];
    std::snprintf(number, sizeof number, "%02zu", t + 1);
    const std::string name = b + "-tracks " + number + ".bin";
    w.File(name, t == 0 ? d.mode2 : d.audio[t - 1]);
    cue += "FILE \"" + w.Named(name) + "\" BINARY\r\n  TRACK " + number +
           (t == 0 ? " MODE2/2352\r\n" : " AUDIO\r\n    PREGAP 00:02:00\r\n") +
           "    INDEX 01 00:00:00\r\n";
  }
  w.Text(b + "-tracks.cue", cue);
  // 2,048-byte sectors: the plain image under other names, and a cue sheet over it.
  w.File(b + "-plain.img", d.iso);
  w.File(b + "-plain.bin", d.iso);
  w.Text(b + "-2048.cue", "FILE \"" + w.Named(b + "-plain.bin") +
                              "\" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n");
  w.File(b + "-raw.bin", d.mode1);
}

void WriteCloneCd(const Writer &w, const Disc &d, const std::string &b) {
  const size_t tracks = d.lba.size();
  std::string ccd = "[CloneCD]\r\nVersion=3\r\n[Disc]\r\nTocEntries=" + std::to_string(tracks + 3) +
                    "\r\nSessions=1\r\nDataTracksScrambled=0\r\nCDTextLength=0\r\n"
                    "[Session 1]\r\nPreGapMode=1\r\nPreGapSubC=0\r\n";
  auto entry = [&](size_t n, const char *point, bool data, uint32_t pmsf, int64_t plba) {
    ccd += "[Entry " + std::to_string(n) + "]\r\nSession=1\r\nPoint=" + point +
           "\r\nADR=0x01\r\nControl=" + (data ? "0x04" : "0x00") +
           "\r\nTrackNo=0\r\nAMin=0\r\nASec=0\r\nAFrame=0\r\nALBA=-150\r\nZero=0\r\nPMin=" +
           std::to_string(pmsf / 4500) + "\r\nPSec=" + std::to_string(pmsf / 75 % 60) +
           "\r\nPFrame=" + std::to_string(pmsf % 75) + "\r\nPLBA=" + std::to_string(plba) + "\r\n";
  };
  entry(0, "0xa0", true, 4500, 4500 - 150);
  entry(1, "0xa1", tracks == 1, uint32_t(tracks) * 4500, int64_t(tracks) * 4500 - 150);
  entry(2, "0xa2", tracks == 1, d.leadOut + 150, d.leadOut);
  for (size_t t = 0; t < tracks; ++t) {
    char point[24];
    std::snprintf(point, sizeof point, "0x%02zx", t + 1);
    entry(t + 3, point, t == 0, d.lba[t] + 150, d.lba[t]);
  }
  for (size_t t = 0; t < tracks; ++t) {
    ccd += "[TRACK " + std::to_string(t + 1) + "]\r\nMODE=" + (t == 0 ? "1" : "0") + "\r\n";
    if (t > 0)
      ccd += "INDEX 0=" + std::to_string(d.lba[t] - kGap) + "\r\n";
    ccd += "INDEX 1=" + std::to_string(d.lba[t]) + "\r\n";
  }
  w.Text(b + ".ccd", ccd);
}

void WriteNero(const Writer &w, const Disc &d, const std::string &b) {
  // Nero stores the first track's two seconds of pregap too.
  std::string dao = std::string(kGap * kRawSector, '\0') + d.mode1;
  for (const std::string &a : d.audio)
    dao += d.zeros + a;
  std::string tao = std::string(kGap * kUserBytes, '\0') + d.iso;
  for (const std::string &a : d.audio)
    tao += a;
  const auto daoTracks = Tracks(d, kRawSector, kGap * kRawSector, true, kGap);
  const auto taoTracks = Tracks(d, kUserBytes, kGap * kUserBytes, false, 0);
  for (bool v2 : {false, true}) {
    const std::string version = v2 ? "-v2.nrg" : "-v1.nrg";
    w.File(b + "-dao" + version,
           dao + NeroTail(daoTracks, v2, NeroSession::kDiscAtOnce, dao.size()));
    w.File(b + "-tao" + version,
           tao + NeroTail(taoTracks, v2, NeroSession::kTrackAtOnce, tao.size()));
  }
}

void WriteAlcohol(const Writer &w, const Disc &d, const std::string &b) {
  std::string mdf = d.mode1;
  for (const std::string &a : d.audio)
    mdf += a;
  w.File(b + ".mdf", mdf);
  w.File(b + ".mds", MediaDescriptor(Tracks(d, kRawSector, 0, false, kGap)));
}

void WriteManifest(const Writer &w, const Disc &d, const std::string &b) {
  std::string m;
  auto image = [&](const std::string &name, bool all) {
    const size_t tracks = all ? d.lba.size() : 1;
    for (size_t t = 0; t < tracks; ++t)
      m += name + "\t" + std::to_string(t + 1) + "\t" + std::to_string(d.lba[t]) + "\t" +
           (t == 0 ? "data" : "audio") + "\n";
    m += name + "\t170\t" + std::to_string(all ? d.leadOut : d.dataSectors) + "\tleadout\n";
  };
  for (const char *multi : {".cue", "-tracks.cue", ".ccd", ".mds", "-dao-v1.nrg", "-dao-v2.nrg",
                            "-tao-v1.nrg", "-tao-v2.nrg"})
    image(b + multi, true);
  for (const char *single : {"-2048.cue", "-plain.img", "-plain.bin", "-raw.bin"})
    image(b + single, false);
  w.File("manifest.txt", m);
}

} // namespace
} // namespace velmor::testimages

int main(int argc, char **argv) {
  using namespace velmor::testimages;
  const Options o = Parse(argc, argv);
  if (mkdir(o.dir.c_str(), 0777) != 0 && errno != EEXIST)
    Fail(o.dir, std::strerror(errno));
  const Writer w(o);
  const Disc d = MakeDisc(o);
  WriteCues(w, d, o.name);
  WriteCloneCd(w, d, o.name);
  WriteNero(w, d, o.name);
  WriteAlcohol(w, d, o.name);
  WriteManifest(w, d, o.name);
  return 0;
}
