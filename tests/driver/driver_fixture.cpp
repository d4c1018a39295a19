#include "driver_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace velmor::test {

DriverTest::DriverTest() {
  char templ[] = "/tmp/velmor-driver-XXXXXX";
  dir_ = ::mkdtemp(templ);
  model_.MapDosDrive(u'D', dir_);
}

DriverTest::~DriverTest() {
  // The service stops at the end of every test: the unload leaves no device, link, thread,
  // open file or allocation behind.
  if (started_) {
    VelmorUnloadDriver(&driver_);
    EXPECT_EQ(model_.DeviceCount(), 0u) << "devices left after the unload";
    EXPECT_EQ(model_.LiveThreads(), 0u) << "threads left after the unload";
    EXPECT_EQ(model_.OpenFiles(), 0) << "files left open after the unload";
    EXPECT_EQ(model_.LiveAllocations(), 0u) << "pool left allocated after the unload";
  }
  std::filesystem::remove_all(dir_);
}

NtStatus DriverTest::Start() {
  UString path;
  kernel::InitString(&path, kServiceKey);
  const NtStatus result = VelmorStartDriver(&driver_, &path);
  started_ = IsSuccess(result);
  return result;
}

std::u16string DriverTest::WriteImage(const std::string &name, const std::vector<uint8_t> &bytes) {
  std::ofstream(HostPath(name), std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
  return u"D:\\" + ToU16(name);
}

std::u16string DriverTest::LongImagePath(size_t units, const std::u16string &suffix) {
  std::u16string path = u"D:";
  std::string host = HostPath("");
  while (path.size() + 1 + 200 + suffix.size() < units) {
    path += u"\\" + std::u16string(199, u'd');
    host += std::string(199, 'd') + "/";
    std::filesystem::create_directory(host);
  }
  path += u"\\" + std::u16string(units - path.size() - 1 - suffix.size(), u'x') + suffix;
  std::string file = ToNarrow(path.substr(3));
  std::replace(file.begin(), file.end(), '\\', '/');
  std::ofstream(HostPath(file).c_str()).put('x');
  return path;
}

Answer DriverTest::Control(const std::u16string &name, uint32_t code, uint32_t inputLength,
                           uint32_t outputLength) {
  kernel::Device *device = model_.Open(name);
  EXPECT_NE(device, nullptr) << ToNarrow(name);
  if (!device)
    return Answer{-1, 0, {}, 0};
  // A buffered request's system buffer holds max(input, output) bytes; exact sizes let the
  // sanitizers see any access beyond them.
  std::vector<uint8_t> system(std::max(inputLength, outputLength), 0xCD);
  kernel::Request request;
  request.code = code;
  request.inputLength = inputLength;
  request.outputLength = outputLength;
  request.systemBuffer = system.empty() ? nullptr : system.data();
  request.fromUserMode = fromUserMode_;
  Dispatch(VelmorDispatchDeviceControl, device, request);
  model_.Close(device);
  system.resize(outputLength);
  return Answer{request.status, request.information, system, request.completions};
}

NtStatus DriverTest::AddRecordBytes(const std::vector<uint8_t> &record, uint32_t inputLength,
                                    uint32_t outputLength) {
  kernel::Device *device = model_.Open(kControlDeviceName);
  // The I/O manager's buffer: the caller's input, then whatever the pool held.
  std::vector<uint8_t> system(std::max(inputLength, outputLength), 0xCD);
  std::copy_n(record.begin(), std::min<size_t>(inputLength, record.size()), system.begin());
  kernel::Request request;
  request.code = IOCTL_VELMOR_ADD_DEVICE;
  request.inputLength = inputLength;
  request.outputLength = outputLength;
  request.systemBuffer = system.empty() ? nullptr : system.data();
  request.fromUserMode = fromUserMode_;
  VelmorDispatchDeviceControl(device, &request);
  model_.Close(device);
  EXPECT_EQ(request.completions.load(), 1);
  const bool added = IsSuccess(request.status);
  EXPECT_EQ(request.information, added ? sizeof(FileIdentity) : 0u);
  if (added)
    std::memcpy(&lastIdentity_, system.data(), sizeof(lastIdentity_));
  return request.status;
}

NtStatus DriverTest::Add(char16_t letter, const std::u16string &path, uint32_t inputLength,
                         uint32_t outputLength) {
  AddRecord record{};
  record.letter = letter;
  std::copy_n(path.begin(), std::min<size_t>(path.size(), kAddRecordPathUnits), record.path);
  std::vector<uint8_t> bytes(sizeof(record));
  std::memcpy(bytes.data(), &record, sizeof(record));
  return AddRecordBytes(bytes, inputLength, outputLength);
}

NtStatus DriverTest::AddLayout(const LayoutRecord &record, uint32_t inputLength) {
  kernel::Device *device = model_.Open(kControlDeviceName);
  std::vector<uint8_t> system(std::max<size_t>(inputLength, 1), 0xCD);
  std::memcpy(system.data(), &record, std::min<size_t>(inputLength, sizeof(record)));
  kernel::Request request;
  request.code = IOCTL_VELMOR_ADD_LAYOUT;
  request.inputLength = inputLength;
  request.systemBuffer = system.data();
  request.fromUserMode = fromUserMode_;
  VelmorDispatchDeviceControl(device, &request);
  model_.Close(device);
  EXPECT_EQ(request.completions.load(), 1);
  EXPECT_EQ(request.information, 0u);
  return request.status;
}

Answer DriverTest::RawRead(const std::u16string &name, uint64_t diskOffset, uint32_t sectors,
                           uint32_t mode, uint32_t outputLength, uint32_t inputLength) {
  const RawReadInfo info{uint32_t(diskOffset), uint32_t(diskOffset >> 32), sectors, mode};
  std::vector<uint8_t> input(std::max<size_t>(inputLength, 1), 0);
  std::memcpy(input.data(), &info, std::min<size_t>(inputLength, sizeof(info)));
  std::vector<uint8_t> data(outputLength, 0xEE);
  kernel::Device *device = model_.Open(name);
  kernel::Request request;
  request.code = ioctl::kCdromRawRead;
  request.inputLength = inputLength;
  request.outputLength = outputLength;
  request.systemBuffer = input.data();
  request.readBuffer = outputLength ? data.data() : nullptr;
  request.fromUserMode = fromUserMode_;
  Dispatch(VelmorDispatchDeviceControl, device, request);
  model_.Close(device);
  return Answer{request.status, request.information, data, request.completions};
}

NtStatus DriverTest::Remove(const std::u16string &name) {
  return Control(name, IOCTL_VELMOR_REMOVE_DEVICE, 0, 0).status;
}

Answer DriverTest::Read(const std::u16string &name, int64_t offset, uint32_t length) {
  kernel::Device *device = model_.Open(name);
  EXPECT_NE(device, nullptr) << ToNarrow(name);
  std::vector<uint8_t> data(length, 0xEE);
  kernel::Request request;
  request.byteOffset = offset;
  request.length = length;
  request.readBuffer = length ? data.data() : nullptr;
  {
    // The file system and the memory manager send paging reads at APC_LEVEL.
    IrqlScope paging(kernel::kApcLevel);
    Dispatch(VelmorDispatchRead, device, request);
  }
  model_.Close(device);
  return Answer{request.status, request.information, data, request.completions};
}

void DriverTest::Dispatch(NtStatus (*routine)(kernel::Device *, kernel::Request *),
                          kernel::Device *device, kernel::Request &request) {
  const NtStatus returned = routine(device, &request);
  if (returned == status::kPending) {
    EXPECT_TRUE(request.pending) << "returned pending without marking the request";
    model_.AwaitCompletion(request); // the handle stays open until then, as the I/O manager's
    EXPECT_EQ(request.completions.load(), 1) << "a request completed twice";
  } else {
    // Driver Verifier stops the system for a request marked pending and answered at once.
    EXPECT_FALSE(request.pending) << "marked pending, but the routine did not return pending";
    EXPECT_EQ(request.completions.load(), 1) << "completed before the dispatch routine returned";
    EXPECT_EQ(returned, request.status);
  }
}

VELMOR_DRIVE_EXTENSION *DriverTest::Extension(const std::u16string &deviceName) {
  kernel::Device *device = model_.FindDevice(deviceName);
  return device ? static_cast<VELMOR_DRIVE_EXTENSION *>(kernel::DeviceExtension(device)) : nullptr;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto &b : bytes) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return bytes;
}

std::u16string DriveLink(char letter) { return u"\\DosDevices\\" + ToU16({letter, ':'}); }
std::u16string GlobalLink(char letter) { return u"\\DosDevices\\Global\\" + ToU16({letter, ':'}); }
std::u16string DriveDevice(char letter) {
  return u"\\Device\\VELMOR" + ToU16(std::to_string(letter - 'A'));
}

} // namespace velmor::test
