#include "scsi_device.h"

#include <algorithm>

namespace velmor {

namespace {
// Set only by a transport initialisation, which this program never performs.
bool gTransportInitialised = false;
constexpr std::uint32_t kCommandTimeoutMs = 10000;
constexpr std::size_t kSenseBytes = 32;
} // namespace

TDebugMemo::~TDebugMemo() {
  // Copy first: Notification unregisters the device from this list.
  const std::vector<TSCSIDevice *> listeners = FListeners;
  for (TSCSIDevice *device : listeners)
    device->Notification(this, TOperation::opRemove);
}

TSCSIDevice::TSCSIDevice() : FSenseData(kSenseBytes, 0) {
  // With a transport, the adapter description and a device scan would follow here.
}

TSCSIDevice::~TSCSIDevice() { SetDebugWindow(nullptr); }

bool TSCSIDevice::ASPIInitialized() { return gTransportInitialised; }

void TSCSIDevice::SetDebugWindow(TDebugMemo *Memo) {
  if (FDebugWindow == Memo)
    return;
  if (FDebugWindow) {
    auto &list = FDebugWindow->FListeners;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  FDebugWindow = Memo;
  if (FDebugWindow)
    FDebugWindow->FListeners.push_back(this);
}

void TSCSIDevice::Notification(const void *Component, TOperation Operation) {
  if (Operation == TOperation::opRemove && Component != nullptr && Component == FDebugWindow)
    SetDebugWindow(nullptr);
}

void TSCSIDevice::DebugMsg(const std::string &Message, std::uint8_t mType) {
  if (FDebugWindow)
    FDebugWindow->AddLine(Message);
  if (OnDebugMessage)
    OnDebugMessage(this, Message, mType);
}

std::uint8_t TSCSIDevice::ExecuteCommand(const std::uint8_t *Cdb, std::size_t CdbLength,
                                         std::uint32_t TimeoutMs) {
  (void)Cdb;
  (void)CdbLength;
  (void)TimeoutMs;
  FLastError.clear();
  std::fill(FSenseData.begin(), FSenseData.end(), 0);
  // No transport is ever initialised and no device is selected: nothing is sent.
  return kStatusNoTransport;
}

std::uint8_t TSCSIDevice::SetWriteSpeed(int SpeedFactor) {
  const unsigned kbPerSecond = static_cast<unsigned>(SpeedFactor) * 177u;
  std::uint8_t cdb[12] = {0xBB, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
  cdb[4] = static_cast<std::uint8_t>(kbPerSecond >> 8);
  cdb[5] = static_cast<std::uint8_t>(kbPerSecond);
  return ExecuteCommand(cdb, sizeof cdb, kCommandTimeoutMs);
}

} // namespace velmor
