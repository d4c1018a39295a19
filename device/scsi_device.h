#pragma once
// Base class of the image-building component: construction, debug channel and the gate through
// which every device command would pass. No command transport exists in this program, so the
// gate refuses every command with status 0xE2 and nothing reaches a drive.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmor {

class TSCSIDevice;

// A memo that collects debug lines. It tells every device that writes to it when it goes away,
// so a device never writes to a destroyed memo.
class TDebugMemo {
public:
  TDebugMemo() = default;
  TDebugMemo(const TDebugMemo &) = delete;
  TDebugMemo &operator=(const TDebugMemo &) = delete;
  virtual ~TDebugMemo();
  virtual void AddLine(const std::string &Line) = 0;

private:
  friend class TSCSIDevice;
  std::vector<TSCSIDevice *> FListeners;
};

enum class TOperation { opInsert, opRemove };

using TOnDebugMsg =
    std::function<void(TSCSIDevice *Sender, const std::string &Message, std::uint8_t mType)>;

constexpr std::uint8_t kNoDeviceAddress = 254;
constexpr std::uint8_t kStatusNoTransport = 0xE2;

class TSCSIDevice {
public:
  TSCSIDevice();
  TSCSIDevice(const TSCSIDevice &) = delete;
  TSCSIDevice &operator=(const TSCSIDevice &) = delete;
  virtual ~TSCSIDevice();

  bool Erasing() const { return FErasing; }
  std::uint8_t HostAdapter() const { return FHostAdapter; }
  std::uint8_t Target() const { return FTarget; }
  std::uint8_t Lun() const { return FLun; }
  bool DoDebug() const { return FDoDebug; }
  void SetDoDebug(bool Value) { FDoDebug = Value; }
  const std::vector<std::string> &DeviceList() const { return FDeviceList; }
  const std::string &LastError() const { return FLastError; }

  TDebugMemo *DebugWindow() const { return FDebugWindow; }
  void SetDebugWindow(TDebugMemo *Memo);
  TOnDebugMsg OnDebugMessage;

  // Process-wide: whether a command transport has been initialised. Never true in this program.
  static bool ASPIInitialized();

  // Removal notice: a memo that is going away is forgotten.
  virtual void Notification(const void *Component, TOperation Operation);

  // Sends one line to the debug memo (if any) and then to OnDebugMessage (if assigned).
  void DebugMsg(const std::string &Message, std::uint8_t mType);

  // The single path of every device command. Returns the command status.
  std::uint8_t ExecuteCommand(const std::uint8_t *Cdb, std::size_t CdbLength,
                              std::uint32_t TimeoutMs);

  // SET CD SPEED (0xBB); the speed is the factor times 177 kB/s.
  std::uint8_t SetWriteSpeed(int SpeedFactor);

private:
  bool FErasing = false;
  std::uint8_t FHostAdapter = kNoDeviceAddress;
  std::uint8_t FTarget = kNoDeviceAddress;
  std::uint8_t FLun = kNoDeviceAddress;
  bool FDoDebug = false;
  std::vector<std::string> FDeviceList;
  TDebugMemo *FDebugWindow = nullptr;
  std::string FLastError;
  std::vector<std::uint8_t> FSenseData;
};

} // namespace velmor
