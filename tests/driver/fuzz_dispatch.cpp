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
#include "velmor_served.h"

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
    IOCTL_VELMOR_GET_HELD,       IOCTL_VELMOR_GET_SKIPPED,      ioctl::kCdromMediaRemoval,
    ioctl::kStorageMediaRemoval, IOCTL_VELMOR_ADD_SERVED,       IOCTL_VELMOR_SERVE,
};

// The answers about the disc, sized from the image.
const uint32_t kDiscCodes[] = {
    ioctl::kDiskGetLengthInfo,      ioctl::kCdromGetDriveGeometryEx, ioctl::kStorageReadCapacity,
    ioctl::kStorageGetDeviceNumber, ioctl::kStorageQueryProperty,    ioctl::kStorageGetHotplugInfo,
    ioctl::kStorageGetMediaTypesEx, ioctl::kDiskIsWritable,          ioctl::kStorageCheckVerify2,
    ioctl::kCdromGetConfiguration,  ioctl::kCdromReadTocEx,          ioctl::kCdromGetLastSession,
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

// The file objects requests come through: none, or one of three handles (servers, when they
// make served drives).
const void *FileObject(uint8_t pick) { return reinterpret_cast<const void *>(uintptr_t(pick & 3)); }

// A SERVE (or any request) left pending: it is completed later, by a drive's question, its
// handle's cleanup or a cancel, and checked at the end.
struct Kept {
  kernel::Request request;
  std::vector<uint8_t> buffer;
  bool answered = false; // its question has had an answer sent
};

struct Servers {
  std::vector<std::unique_ptr<Kept>> kept;
  // The newest question handed out and not yet answered, if any.
  Kept *Question() {
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
      Kept &k = **it;
      if (!k.answered && k.request.completions.load() == 1 &&
          k.request.status == status::kSuccess && k.request.information == sizeof(ServedRequest))
        return &k;
    }
    return nullptr;
  }
};

// Sends a SERVE through `file`, with `answer` as its input; kept when left pending.
void SendServe(test::KernelModel &model, Servers &servers, const void *file,
               const std::vector<uint8_t> &answer, uint32_t outputLength) {
  kernel::Device *control = model.Open(kControlDeviceName);
  if (!control)
    return;
  servers.kept.push_back(std::make_unique<Kept>());
  Kept &k = *servers.kept.back();
  k.buffer.assign(std::max<size_t>({answer.size(), outputLength, 1}), 0);
  std::copy(answer.begin(), answer.end(), k.buffer.begin());
  k.request.code = IOCTL_VELMOR_SERVE;
  k.request.inputLength = uint32_t(answer.size());
  k.request.outputLength = outputLength;
  k.request.systemBuffer = k.buffer.data();
  k.request.fromUserMode = true;
  k.request.file = file;
  VelmorDispatchDeviceControl(control, &k.request);
  model.Close(control);
  if (k.request.information > outputLength)
    std::abort();
}

// An answer to the newest question, as the input says: right, or with a field changed.
void Answer(test::KernelModel &model, Servers &servers, Input &in) {
  Kept *question = servers.Question();
  const uint8_t how = in.Byte();
  ServedRequest asked{};
  const void *file = FileObject(how >> 4);
  if (question) {
    std::memcpy(&asked, question->buffer.data(), sizeof(asked));
    question->answered = true;
    file = (how & 0x40) ? FileObject(how) : question->request.file;
  }
  ServedAnswer head{asked.id, asked.letter, 0, kServedAnswerOk, asked.length};
  switch (how & 7) {
  case 1:
    head.id += in.Byte();
    break;
  case 2:
    head.letter = char16_t(u'E' + in.Byte() % 4);
    break;
  case 3:
    head.length = in.U32() % (kServedMaxRead + 4);
    break;
  case 4:
    head.result = in.Byte() % 3;
    head.length = 0;
    break;
  default:
    break;
  }
  std::vector<uint8_t> bytes(sizeof(head));
  std::memcpy(bytes.data(), &head, sizeof(head));
  size_t data = (how & 8) ? in.U32() % (kServedMaxRead + 4) : head.length;
  if (data > kServedMaxRead + 3)
    data = kServedMaxRead + 3;
  bytes.resize(bytes.size() + data, uint8_t(how));
  if ((how & 7) == 5)
    bytes.resize(in.Byte() % sizeof(head)); // shorter than an answer
  SendServe(model, servers, file, bytes, (how & 0x80) ? 8 : sizeof(ServedRequest));
}

void Control(test::KernelModel &model, Servers &servers, kernel::Device *device, Input &in) {
  const uint8_t pick = in.Byte();
  // Known codes, the requests Windows' own tools send a CD-ROM drive, or any code at all.
  const uint32_t code = pick < 0xC0   ? kKnownCodes[pick % std::size(kKnownCodes)]
                        : pick < 0xD0 ? kDiscCodes[pick % std::size(kDiscCodes)]
                                      : in.U32();
  const uint32_t inputLength = in.U16() % 4200;
  const uint32_t outputLength = in.U16() % 4200;
  const uint8_t flags = in.Byte();
  const bool hasUserBuffer = flags & 1;
  // On the heap: a SERVE may stay pending after this call, its request held by the driver.
  auto kept = std::make_unique<Kept>();
  std::vector<uint8_t> &system = kept->buffer;
  system.resize(std::max(inputLength, outputLength));
  in.Fill(system.data(), inputLength); // the input of a buffered or direct request
  std::vector<uint8_t> user(hasUserBuffer ? outputLength : 0);
  in.Fill(user.data(), user.size());
  kernel::Request &request = kept->request;
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
  request.file = FileObject(flags >> 5);
  const NtStatus returned = VelmorDispatchDeviceControl(device, &request);
  if (returned == status::kPending && code == IOCTL_VELMOR_SERVE) {
    servers.kept.push_back(std::move(kept)); // waits for a question; checked at the end
    return;
  }
  Finish(model, returned, request);
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

// A served add through one of the handles: the good record, a few bytes changed.
void AddServed(test::KernelModel &model, kernel::Device *device, Input &in) {
  std::vector<uint8_t> record = LayoutBytes(char16_t(u'E' + in.Byte() % 4));
  for (int patches = in.Byte() % 4; patches > 0; --patches) {
    const uint32_t at = in.U16() % kLayoutRecordSize;
    record[at] = in.Byte();
  }
  kernel::Request request;
  request.code = IOCTL_VELMOR_ADD_SERVED;
  request.inputLength = uint32_t(record.size());
  request.systemBuffer = record.data();
  request.fromUserMode = true;
  request.file = FileObject(in.Byte());
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
  // H is recorded as served: start-up leaves it to its server.
  model.SetValue(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR\\Parameters",
                 u"H", u"D:\\h.chd");
  model.SetBinaryValue(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR\\Parameters\\Served", u"H",
      LayoutBytes(u'H'));
  // A served drive's wait for its answer ends at once unless an answer came: the input plays
  // the server inside the wait.
  model.SetTimedWaits(test::KernelModel::TimedWaits::kAtOnce);
  Servers servers;
  if (!IsSuccess(VelmorStartDriver(&driver, &registryPath)))
    std::abort();

  std::vector<kernel::Device *> held;
  for (int op = 0; op < 64 && !in.Empty(); ++op) {
    const uint8_t kind = in.Byte() % 9;
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
      Control(model, servers, device, in);
      break;
    case 1: {
      // The server answers, as the input says, while a served drive's read waits.
      const bool answers = in.Byte() & 1;
      if (answers)
        model.OnNextTimedWait([&] { Answer(model, servers, in); });
      Read(model, device, in);
      model.OnNextTimedWait(nullptr);
      break;
    }
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
    case 6: { // the last handle of some file object closes, and then the file object goes
      const uint8_t which = in.Byte();
      kernel::Request request;
      request.file = FileObject(which);
      VelmorDispatchCleanup(device, &request);
      if (which & 4) {
        kernel::Request close;
        close.file = request.file;
        VelmorDispatchClose(device, &close);
      }
      break;
    }
    case 7:
      AddServed(model, device, in);
      break;
    case 8: // a server's SERVE, carrying an answer to a question it was handed, or not
      Answer(model, servers, in);
      break;
    }
    if (opened)
      model.Close(device);
  }
  for (kernel::Device *device : held)
    model.Close(device);
  // Every server's handle closes, as its process exits: its SERVEs end.
  if (kernel::Device *control = model.Open(kControlDeviceName)) {
    for (uint8_t file = 1; file < 4; ++file) {
      kernel::Request cleanup;
      cleanup.file = FileObject(file);
      VelmorDispatchCleanup(control, &cleanup);
    }
    model.Close(control);
  }
  for (const auto &k : servers.kept)
    if (k->request.completions.load() != 1)
      std::abort();
  // The service stops: nothing may be left behind.
  VelmorUnloadDriver(&driver);
  if (model.Faults() || model.OpenFiles() || model.LiveThreads() || model.LiveAllocations() ||
      model.DeviceCount())
    std::abort();
  return 0;
}
