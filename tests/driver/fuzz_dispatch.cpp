// Fuzz entry: drives the dispatch routines of a started driver with arbitrary control codes,
// lengths, buffers, read offsets, layout records and handles kept open across removals. The buffers
// are allocated at exactly their declared sizes so that any access beyond them is caught.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "disc_answers.h"
#include "kernel_model.h"
#include "layout_records.h"
#include "velmor_driver.h"

namespace {

using namespace velmor;

class Input {
public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return uint16_t(Byte() | Byte() << 8); }
  uint32_t U32() { return U16() | uint32_t(U16()) << 16; }
  uint64_t U64() { return U32() | uint64_t(U32()) << 32; }
  void Fill(uint8_t *out, size_t n) {
    const size_t take = std::min(n, size_ - std::min(at_, size_));
    if (take)
      std::memcpy(out, data_ + at_, take);
    at_ += take;
  }

private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

const uint32_t kKnownCodes[] = {
    IOCTL_VELMOR_ADD_DEVICE,     IOCTL_VELMOR_REMOVE_DEVICE,    IOCTL_VELMOR_GET_VERSION,
    ioctl::kCdromReadToc,        ioctl::kCdromGetDriveGeometry, ioctl::kCdromCheckVerify,
    ioctl::kStorageCheckVerify,  ioctl::kCdromEjectMedia,       ioctl::kCdromGetVolume,
    ioctl::kCdromRawRead,        ioctl::kDiskGetDriveGeometry,  ioctl::kStorageFindNewDevices,
    ioctl::kCdromGetLastSession, IOCTL_VELMOR_ADD_LAYOUT,       IOCTL_VELMOR_GET_BUILD,
};

const char16_t *const kNames[] = {
    u"\\DosDevices\\VELMOR", u"\\DosDevices\\E:",  u"\\DosDevices\\F:", u"\\DosDevices\\A:",
    u"\\DosDevices\\Z:",     u"\\Device\\VELMOR4", u"\\DosDevices\\G:", u"\\DosDevices\\H:",
};

// The images the fuzzed drives may name: D:\a.iso, D:\a.img and the raw D:\a.bin.
const std::string &ImageDirectory() {
  static const std::string dir = [] {
    char templ[] = "/tmp/velmor-fuzz-XXXXXX";
    std::string d = ::mkdtemp(templ);
    std::vector<char> bytes(0x12000);
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = char(i * 7);
    std::ofstream(d + "/a.iso", std::ios::binary).write(bytes.data(), long(bytes.size()));
    std::ofstream(d + "/a.img", std::ios::binary).write(bytes.data(), long(bytes.size()));
    bytes.resize(20 * 2352);
    std::ofstream(d + "/a.bin", std::ios::binary).write(bytes.data(), long(bytes.size()));
    return d;
  }();
  return dir;
}

// A good record over every kind of track: raw data, audio with a stored pregap, a gap, plain
// blocks with a pregap no file holds, 2,336- and 2,448-byte sectors.
const LayoutRecord &LayoutTemplate() {
  static const std::unique_ptr<LayoutRecord> record = [] {
    LayoutTrack audio = test::MakeTrack(2, 0, 12, 8, 2352, 0, 12 * 2352, kControlAdrAudio);
    audio.pregap = 2;
    audio.flags = kPregapInFile;
    LayoutTrack plain = test::MakeTrack(3, 1, 25, 20, 2048, 0, 0);
    plain.pregap = 3;
    return test::MakeLayout(u'E', {u"D:\\a.bin", u"D:\\a.iso"},
                            {test::MakeTrack(1, 0, 0, 10, 2352, 16, 0), audio, plain,
                             test::MakeTrack(4, 1, 45, 5, 2336, 8, 0),
                             test::MakeTrack(5, 1, 50, 5, 2448, 24, 0)});
  }();
  return *record;
}

std::vector<uint8_t> LayoutBytes(char16_t letter) {
  LayoutRecord record = LayoutTemplate();
  record.letter = letter;
  const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(record));
}

// Waits for a request left pending to be completed by the driver's thread.
void Finish(test::KernelModel &model, NtStatus returned, kernel::Request &request) {
  if (returned == status::kPending)
    model.AwaitCompletion(request);
}

void Control(test::KernelModel &model, kernel::Device *device, Input &in) {
  const uint8_t pick = in.Byte();
  // Known codes, the requests Windows' own tools send a CD-ROM drive, or any code at all.
  const uint32_t code = pick < 0xC0   ? kKnownCodes[pick % std::size(kKnownCodes)]
                        : pick < 0xD0 ? kDiscRequestRules[pick % std::size(kDiscRequestRules)].code
                                      : in.U32();
  const uint32_t inputLength = in.U16() % 4200;
  const uint32_t outputLength = in.U16() % 4200;
  const uint8_t flags = in.Byte();
  const bool hasUserBuffer = flags & 1;
  std::vector<uint8_t> system(std::max(inputLength, outputLength));
  in.Fill(system.data(), inputLength); // the input of a buffered or direct request
  std::vector<uint8_t> user(hasUserBuffer ? outputLength : 0);
  in.Fill(user.data(), user.size());
  kernel::Request request;
  request.code = code;
  request.inputLength = inputLength;
  request.outputLength = outputLength;
  request.systemBuffer = system.empty() ? nullptr : system.data();
  request.readBuffer = user.empty() ? nullptr : user.data(); // a direct request's locked output
  request.fromUserMode = !(flags & 2);
  // A kernel caller (the file system's associated raw reads) leaves a direct request's input
  // at Type3InputBuffer, and the system buffer is another request's.
  if (!request.fromUserMode && (flags & 4) && (code & 3) == kMethodOutDirect) {
    request.type3Input = request.systemBuffer;
    request.systemBuffer = nullptr;
  }
  request.overrideVerify = flags & 8;
  if (flags & 16) // a locked buffer that describes less than the output length
    request.mdlBytes = outputLength / 2;
  Finish(model, VelmorDispatchDeviceControl(device, &request), request);
  if (request.completions != 1 || request.information > outputLength)
    std::abort();
}

// A layout add: the good record with a few bytes changed, as the whole input or one byte off.
void AddLayout(test::KernelModel &model, kernel::Device *device, Input &in) {
  std::vector<uint8_t> record = LayoutBytes(char16_t(u'E' + in.Byte() % 4));
  for (int patches = in.Byte() % 16; patches > 0; --patches) {
    const uint32_t at = in.U16() % kLayoutRecordSize;
    record[at] = in.Byte();
  }
  record.resize(kLayoutRecordSize + 1 - in.Byte() % 3);
  kernel::Request request;
  request.code = IOCTL_VELMOR_ADD_LAYOUT;
  request.inputLength = uint32_t(record.size());
  request.systemBuffer = record.data();
  request.fromUserMode = true;
  Finish(model, VelmorDispatchDeviceControl(device, &request), request);
  if (request.completions != 1 || request.information != 0)
    std::abort();
}

void Read(test::KernelModel &model, kernel::Device *device, Input &in) {
  kernel::Request request;
  request.byteOffset = int64_t(in.U64() & 0x8000000000FFFFFFull); // near the image, or negative
  request.length = in.U16() % 9000;
  std::vector<uint8_t> data((in.Byte() & 1) ? request.length : 0);
  request.readBuffer = data.empty() ? nullptr : data.data();
  NtStatus returned;
  {
    test::IrqlScope paging(kernel::kApcLevel);
    returned = VelmorDispatchRead(device, &request);
  }
  Finish(model, returned, request);
  if (request.completions != 1 || request.information > request.length)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  test::KernelModel model;
  model.MapDosDrive(u'D', ImageDirectory());
  kernel::Driver driver;
  UString registryPath;
  kernel::InitString(&registryPath,
                     u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR");
  model.SetValue(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR\\Parameters",
                 u"F", u"D:\\a.img");
  // G: comes back at start as a layout drive.
  model.SetValue(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR\\Parameters",
                 u"G", u"D:\\g.cue");
  model.SetBinaryValue(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR\\Parameters\\Layouts",
      u"G", LayoutBytes(u'G'));
  if (!IsSuccess(VelmorStartDriver(&driver, &registryPath)))
    std::abort();

  std::vector<kernel::Device *> held;
  for (int op = 0; op < 64 && !in.Empty(); ++op) {
    const uint8_t kind = in.Byte() % 7;
    const uint8_t target = in.Byte();
    kernel::Device *device = nullptr;
    bool opened = false;
    if (target >= 0x80 && !held.empty()) {
      device = held[target % held.size()];
    } else {
      device = model.Open(kNames[target % std::size(kNames)]);
      opened = device != nullptr;
    }
    if (!device)
      continue;
    switch (kind) {
    case 0:
      Control(model, device, in);
      break;
    case 1:
      Read(model, device, in);
      break;
    case 2: {
      kernel::Request request;
      VelmorDispatchCreate(device, &request);
      break;
    }
    case 3:                            // keep a handle open across whatever follows
      if (opened && held.size() < 8) { // a handle of its own, not a copy of a held one
        held.push_back(device);
        opened = false;
      }
      break;
    case 4:
      if (!held.empty()) {
        model.Close(held.back());
        held.pop_back();
      }
      break;
    case 5:
      AddLayout(model, device, in);
      break;
    case 6: { // the last handle of some file object closes
      kernel::Request request;
      request.file = reinterpret_cast<const void *>(uintptr_t(in.Byte() % 3));
      VelmorDispatchCleanup(device, &request);
      break;
    }
    }
    if (opened)
      model.Close(device);
  }
  for (kernel::Device *device : held)
    model.Close(device);
  // The service stops: nothing may be left behind.
  VelmorUnloadDriver(&driver);
  if (model.Faults() || model.OpenFiles() || model.LiveThreads() || model.LiveAllocations() ||
      model.DeviceCount())
    std::abort();
  return 0;
}
