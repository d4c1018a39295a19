// A started driver on the kernel model, with an image directory mapped as drive D: and helpers
// that send requests the way the I/O manager would.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernel_model.h"
#include "layout_records.h"
#include "velmor_driver.h"

namespace velmor::test {

inline constexpr char16_t kServiceKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR";
inline constexpr char16_t kParametersKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR\\Parameters";
inline constexpr char16_t kIdentitiesNtKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELMOR\\Identities";

struct Answer {
  NtStatus status;
  uint32_t information;
  std::vector<uint8_t> output; // the system buffer, as much as the output length
  int completions;
};

class DriverTest : public ::testing::Test {
public:
  // A host file under the D: directory's host folder.
  std::string HostPath(const std::string &name) const { return dir_ + "/" + name; }

protected:
  DriverTest();
  ~DriverTest() override;

  NtStatus Start();
  // A host file under the D: directory; returns its "D:\name" path.
  std::u16string WriteImage(const std::string &name, const std::vector<uint8_t> &bytes);
  // A file whose path ("D:\\...") is `units` long, in folders short enough for the host.
  std::u16string LongImagePath(size_t units, const std::u16string &suffix);

  // A control request through a handle on `name` (a device or a link).
  Answer Control(const std::u16string &name, uint32_t code, uint32_t inputLength,
                 uint32_t outputLength);
  // The add request as the program sends it: the record as the input, up to byte 999, and an
  // output of the record's size for the answer (the image's identity, kept in lastIdentity_).
  NtStatus Add(char16_t letter, const std::u16string &path, uint32_t inputLength = 1000,
               uint32_t outputLength = kAddRecordSize);
  NtStatus AddRecordBytes(const std::vector<uint8_t> &record, uint32_t inputLength,
                          uint32_t outputLength);
  // The layout add as the program sends it: the record as the request's input.
  NtStatus AddLayout(const LayoutRecord &record, uint32_t inputLength = kLayoutRecordSize);
  // IOCTL_CDROM_RAW_READ: the input in the system buffer, the sectors in the locked output.
  Answer RawRead(const std::u16string &name, uint64_t diskOffset, uint32_t sectors, uint32_t mode,
                 uint32_t outputLength, uint32_t inputLength = 16);
  NtStatus Remove(const std::u16string &name);
  Answer Read(const std::u16string &name, int64_t offset, uint32_t length);

  VELMOR_DRIVE_EXTENSION *Extension(const std::u16string &deviceName);
  // Sends a request to a dispatch routine and, when it is left pending, waits for the
  // driver's thread to complete it.
  void Dispatch(NtStatus (*routine)(kernel::Device *, kernel::Request *), kernel::Device *device,
                kernel::Request &request);

  KernelModel model_;
  kernel::Driver driver_;
  bool fromUserMode_ = true; // control requests come from the program, in user mode
  bool started_ = false;     // unloaded, and checked for leftovers, at the end
  FileIdentity lastIdentity_{};
  std::string dir_;
};

std::vector<uint8_t> Pattern(size_t size, uint32_t seed = 1);

std::u16string DriveLink(char letter);   // "\DosDevices\E:", as a session sees it
std::u16string GlobalLink(char letter);  // "\DosDevices\Global\E:"
std::u16string DriveDevice(char letter); // "\Device\VELMOR4"

} // namespace velmor::test
