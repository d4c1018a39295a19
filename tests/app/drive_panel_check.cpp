// The main window's drive commands on a machine where velmor.sys was never installed: double
// clicks on image rows insert drives through the real driver, a double click on a drive node
// ejects one. Run by drive_panel_test.sh in a prefix of its own (which checks the driver file
// that the first insert wrote), with
//   VELMOR_IMAGES  two ISO images, separated by '|'
//   VELMOR_LABELED a letter whose CD-ROM drive has a volume label, then ':' and the label
//   VELMOR_LIST    where the list file would be: the folder of the images
//   VELMOR_LONG    an image whose path is 400 to 495 characters long
//   VELMOR_NETWORK an image on a network drive
#include "app/FrmMain.h"
#include "app/ProductInfo.h"
#include "drive_client.h"
#include "fakes.h"
#include "winkit/Application.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace velmor {
namespace {

using Rows = std::vector<std::string>;

std::string Env(const char *name) {
  const char *value = std::getenv(name);
  return value ? value : "";
}

std::vector<char> FileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

class DrivePanelWineTest : public ::testing::Test {
protected:
  void SetUp() override {
    const std::string images = Env("VELMOR_IMAGES");
    const size_t bar = images.find('|');
    ASSERT_NE(bar, std::string::npos);
    store.stored = {images.substr(0, bar), images.substr(bar + 1)};
    store.exists = true;
    winkit::App().Initialize();
    winkit::App().ResetForTests();
    form = std::make_unique<TFrmMain>(store);
    form->Show(SW_SHOWNORMAL);
  }
  void TearDown() override { form.reset(); }

  Rows Tree() const {
    Rows nodes;
    const winkit::TreeView &tree = form->DriveTree;
    for (HTREEITEM r = tree.FirstRoot(); r; r = tree.NextSibling(r)) {
      nodes.push_back(tree.Text(r));
      for (HTREEITEM c = tree.FirstChild(r); c; c = tree.NextSibling(c))
        nodes.push_back(tree.Text(c));
    }
    return nodes;
  }

  HTREEITEM DriveNode(char letter) const {
    const winkit::TreeView &tree = form->DriveTree;
    for (HTREEITEM c = tree.FirstChild(tree.FirstRoot()); c; c = tree.NextSibling(c))
      if (tree.Text(c)[0] == letter)
        return c;
    return nullptr;
  }

  // Handles messages until the drive tree has `nodes` nodes, the clip has been seen and has
  // ended; false after 10 s.
  bool WaitForTree(int nodes) {
    bool clipShown = false;
    for (int i = 0; i < 1000; ++i) {
      winkit::App().ProcessMessages();
      clipShown = clipShown || form->Animate1.Visible();
      if (clipShown && !form->Animate1.Visible() && form->DriveTree.Count() == nodes)
        return true;
      Sleep(10);
    }
    return false;
  }

  void DoubleClickRow(int row) {
    form->ListView1.Select(row, true);
    RECT rc{};
    rc.left = LVIR_BOUNDS;
    SendMessageA(form->ListView1.Handle(), LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&rc));
    SendMessageA(form->ListView1.Handle(), WM_LBUTTONDBLCLK, MK_LBUTTON,
                 MAKELPARAM(rc.left + 10, (rc.top + rc.bottom) / 2));
    form->ListView1.Select(row, false);
  }

  void DoubleClickNode(HTREEITEM node) {
    form->DriveTree.Select(node);
    RECT rc{};
    std::memcpy(&rc, &node, sizeof node); // the item goes in, its rectangle comes back
    SendMessageA(form->DriveTree.Handle(), TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&rc));
    SendMessageA(form->DriveTree.Handle(), WM_LBUTTONDBLCLK, MK_LBUTTON,
                 MAKELPARAM((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2));
  }

  // The image's sectors at a few places, read through the drive.
  void ExpectSectorsOfImage(char letter, const std::string &image) {
    const std::vector<char> bytes = FileBytes(image);
    ASSERT_GE(bytes.size(), 64u * kBytesPerSector);
    DeviceHandle drive(Win32DriveSystem(), Win32DriveSystem().OpenDevice(DriveDevicePath(letter)));
    ASSERT_TRUE(drive.valid()) << letter;
    const size_t sectors = bytes.size() / kBytesPerSector;
    for (size_t sector : {size_t(0), size_t(16), sectors / 2, sectors - 2}) {
      OVERLAPPED at{};
      at.Offset = DWORD(sector * kBytesPerSector); // a device handle keeps no file position in Wine
      std::vector<char> data(2 * kBytesPerSector);
      DWORD got = 0;
      ASSERT_TRUE(ReadFile(reinterpret_cast<HANDLE>(drive.get()), data.data(), DWORD(data.size()),
                           &got, &at))
          << sector;
      ASSERT_EQ(got, data.size());
      EXPECT_EQ(0, std::memcmp(data.data(), bytes.data() + sector * kBytesPerSector, got))
          << sector;
    }
  }

  bool Opens(char letter) {
    return DeviceHandle(Win32DriveSystem(), Win32DriveSystem().OpenDevice(DriveDevicePath(letter)))
        .valid();
  }

  testing::MemoryStore store{Env("VELMOR_LIST")};
  testing::ScriptedDialogs dialogs;
  std::unique_ptr<TFrmMain> form;
};

TEST_F(DrivePanelWineTest, InsertReadEjectAndRefreshThroughTheRealDriver) {
  DriveSystem &system = Win32DriveSystem();
  EXPECT_EQ(Tree(), Rows{kProductTitle});

  // First insert: the driver is written, registered and started.
  DoubleClickRow(0);
  ASSERT_TRUE(WaitForTree(2)) << ::testing::PrintToString(Tree());
  EXPECT_TRUE(dialogs.messages.empty());
  {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_RUNNING));
    EXPECT_EQ(status.dwServiceType, DWORD(SERVICE_KERNEL_DRIVER));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  auto values = system.DriveValues();
  ASSERT_EQ(values.size(), 1u);
  const char first = values[0].first[0];
  EXPECT_EQ(values[0].second, store.stored[0]);
  // Wine mounts no file system on the drive, so there is no label to show.
  EXPECT_EQ(Tree(), (Rows{kProductTitle, std::string(1, first) + ":()"}));
  ExpectSectorsOfImage(first, store.stored[0]);

  // A second insert takes the next free letter.
  const char next = FindFreeDriveLetter(system);
  EXPECT_NE(next, first);
  DoubleClickRow(1);
  ASSERT_TRUE(WaitForTree(3));
  values = system.DriveValues();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[1], std::make_pair(std::string(1, next), store.stored[1]));
  ExpectSectorsOfImage(next, store.stored[1]);

  // Eject the first by a double click on its node.
  ASSERT_NE(DriveNode(first), nullptr);
  DoubleClickNode(DriveNode(first));
  ASSERT_TRUE(WaitForTree(2));
  EXPECT_EQ(Tree(), (Rows{kProductTitle, std::string(1, next) + ":()"}));
  EXPECT_FALSE(Opens(first));
  EXPECT_TRUE(Opens(next));
  ASSERT_EQ(system.DriveValues().size(), 1u);

  // A record at a letter that holds a CD-ROM drive of the system's own (Wine's, from an ISO):
  // not one of ours, so shown as a drive the driver did not make.
  const std::string labeled = Env("VELMOR_LABELED");
  ASSERT_EQ(labeled.size() > 2 && labeled[1] == ':', true);
  SaveDriveMapping(system, labeled[0], store.stored[0]);
  SendMessageA(form->Handle(), WM_COMMAND, btnRefresh, 0);
  const Rows refreshed = Tree();
  Rows expected = {kProductTitle}; // in the registry's own order
  for (const auto &value : system.DriveValues())
    expected.push_back(value.first + ":(" +
                       (value.first[0] == next ? "" : "未加载: 驱动程序中没有这个光驱") + ")");
  EXPECT_EQ(refreshed, expected);
  EXPECT_EQ(refreshed.size(), 3u);
  SendMessageA(form->Handle(), WM_COMMAND, btnRefresh, 0);
  EXPECT_EQ(Tree(), refreshed);
  DeleteDriveMapping(system, labeled[0]);

  // The other through the tree's menu command.
  form->DriveTree.Select(DriveNode(next));
  SendMessageA(form->Handle(), WM_COMMAND, mnuTreeEject, 0);
  ASSERT_TRUE(WaitForTree(1));
  EXPECT_FALSE(Opens(next));
  EXPECT_TRUE(system.DriveValues().empty());
}

// Drive letters made to stand for a folder, as SUBST makes them; gone with the object.
class SubstLetters {
public:
  void Add(char letter, const std::string &folder) {
    const char name[] = {letter, ':', '\0'};
    if (DefineDosDeviceA(0, name, folder.c_str()))
      letters_.push_back(letter);
  }
  ~SubstLetters() {
    for (char letter : letters_) {
      const char name[] = {letter, ':', '\0'};
      DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, nullptr);
    }
  }

private:
  std::vector<char> letters_;
};

// The machine's drive system, with every device opened and every request sent written down.
class ObservedDriveSystem : public DriveSystem {
public:
  std::vector<std::string> opened;
  std::vector<uint32_t> requests;

  std::string SystemDirectory() override { return s_.SystemDirectory(); }
  std::string FullPath(const std::string &path) override { return s_.FullPath(path); }
  PathKind KindOfPath(const std::string &path) override { return s_.KindOfPath(path); }
  Handle CreateFileForWrite(const std::string &path) override {
    return s_.CreateFileForWrite(path);
  }
  bool WriteFile(Handle file, const void *data, uint32_t size) override {
    return s_.WriteFile(file, data, size);
  }
  bool ReadFileStart(const std::string &path, uint32_t limit,
                     std::vector<uint8_t> &bytes) override {
    return s_.ReadFileStart(path, limit, bytes);
  }
  bool RemoveFile(const std::string &path) override { return s_.RemoveFile(path); }
  bool RenameFile(const std::string &from, const std::string &to) override {
    return s_.RenameFile(from, to);
  }
  void RemoveFileAtRestart(const std::string &path) override { s_.RemoveFileAtRestart(path); }
  std::string CacheFolder() override { return s_.CacheFolder(); }
  std::vector<std::string> FilesIn(const std::string &folder) override {
    return s_.FilesIn(folder);
  }
  bool RemoveFolder(const std::string &path) override { return s_.RemoveFolder(path); }
  Handle LockFile(const std::string &path, bool createNew) override {
    return s_.LockFile(path, createNew);
  }
  uint32_t LastError() override { return s_.LastError(); }
  void Pause(uint32_t ms) override { s_.Pause(ms); }
  bool Is64BitSystem() override { return s_.Is64BitSystem(); }
  void SetFileRedirection(bool on) override { s_.SetFileRedirection(on); }
  Handle OpenDevice(const std::string &path) override {
    opened.push_back(path);
    return s_.OpenDevice(path);
  }
  Handle OpenDeviceWithoutAccess(const std::string &path) override {
    opened.push_back(path);
    return s_.OpenDeviceWithoutAccess(path);
  }
  bool DeviceControl(Handle device, uint32_t code, const void *input, uint32_t inputSize,
                     void *output, uint32_t outputSize, uint32_t *returned = nullptr) override {
    requests.push_back(code);
    return s_.DeviceControl(device, code, input, inputSize, output, outputSize, returned);
  }
  void Close(Handle handle) override { s_.Close(handle); }
  Handle OpenServiceManager() override { return s_.OpenServiceManager(); }
  Handle OpenDriverService(Handle manager, const std::string &name) override {
    return s_.OpenDriverService(manager, name);
  }
  Handle CreateKernelService(Handle manager, const std::string &name,
                             const std::string &binaryPath) override {
    return s_.CreateKernelService(manager, name, binaryPath);
  }
  Handle CreateServerService(Handle manager, const std::string &name, const std::string &shown,
                             const std::string &binaryPath,
                             const std::string &dependency) override {
    return s_.CreateServerService(manager, name, shown, binaryPath, dependency);
  }
  bool StartDriverService(Handle service) override { return s_.StartDriverService(service); }
  bool StopDriverService(Handle service) override { return s_.StopDriverService(service); }
  ServiceState QueryServiceState(Handle service) override { return s_.QueryServiceState(service); }
  bool DeleteDriverService(Handle service) override { return s_.DeleteDriverService(service); }
  void CloseService(Handle service) override { s_.CloseService(service); }
  long DeleteServiceKey(const std::string &name) override { return s_.DeleteServiceKey(name); }
  long RemoveShellVerbs() override { return s_.RemoveShellVerbs(); }
  long SetDriveValue(const std::string &name, const std::string &path) override {
    return s_.SetDriveValue(name, path);
  }
  void DeleteDriveValue(const std::string &name) override { s_.DeleteDriveValue(name); }
  std::vector<std::pair<std::string, std::string>> DriveValues() override {
    return s_.DriveValues();
  }
  long SetLayoutValue(const std::string &name, const void *data, uint32_t size) override {
    return s_.SetLayoutValue(name, data, size);
  }
  void DeleteLayoutValue(const std::string &name) override { s_.DeleteLayoutValue(name); }
  long SetIdentityValue(const std::string &name, const void *data, uint32_t size) override {
    return s_.SetIdentityValue(name, data, size);
  }
  void DeleteIdentityValue(const std::string &name) override { s_.DeleteIdentityValue(name); }
  bool HasIdentityValue(const std::string &name) override { return s_.HasIdentityValue(name); }
  bool HasServedValue(const std::string &name) override { return s_.HasServedValue(name); }
  void DeleteServedValue(const std::string &name) override { s_.DeleteServedValue(name); }
  bool CallServer(const std::vector<uint8_t> &request, std::vector<uint8_t> &reply) override {
    return s_.CallServer(request, reply);
  }
  void BroadcastDeviceChange(uint32_t event, const VolumeNotice &notice) override {
    s_.BroadcastDeviceChange(event, notice);
  }
  unsigned DriveType(char letter) override { return s_.DriveType(letter); }
  std::string DosDeviceTarget(char letter) override { return s_.DosDeviceTarget(letter); }
  std::string VolumeLabel(char letter) override { return s_.VolumeLabel(letter); }
  formats::ImageFiles &ImageFiles() override { return s_.ImageFiles(); }
  std::u16string AnsiToUtf16(const std::string &text) override { return s_.AnsiToUtf16(text); }
  std::string Utf16ToAnsi(const std::u16string &text) override { return s_.Utf16ToAnsi(text); }

private:
  DriveSystem &s_ = Win32DriveSystem();
};

// A record left on a letter that now stands for something else (start-up skips a record
// whose letter is taken): the window shows it greyed, and its eject forgets the record and
// sends nothing to that volume, neither a lock nor a dismount nor the remove.
TEST_F(DrivePanelWineTest, EjectOfALetterThatIsNotOursOnlyForgetsTheRecord) {
  const std::string folder = store.Path().substr(0, store.Path().rfind('\\'));
  char letter = 'S';
  while (!IsDriveLetterFree(Win32DriveSystem(), letter))
    ++letter;
  SubstLetters taken;
  taken.Add(letter, folder);
  SaveDriveMapping(Win32DriveSystem(), letter, store.stored[0]);
  ObservedDriveSystem observed;
  form->SetDriveSystem(observed);
  SendMessageA(form->Handle(), WM_COMMAND, btnRefresh, 0);
  ASSERT_NE(DriveNode(letter), nullptr);
  // The driver has no drive there: the record is shown greyed, with the reason.
  EXPECT_EQ(form->DriveTree.Text(DriveNode(letter)),
            std::string(1, letter) + ":(未加载: 驱动程序中没有这个光驱)");
  EXPECT_EQ(TreeView_GetItemState(form->DriveTree.Handle(), DriveNode(letter), TVIS_CUT),
            UINT(TVIS_CUT));
  EXPECT_EQ(observed.opened, Rows{kControlDevicePath}) << "the driver asked why, the volume not";
  observed.opened.clear();
  observed.requests.clear();
  form->DriveTree.Select(DriveNode(letter));
  SendMessageA(form->Handle(), WM_COMMAND, mnuTreeEject, 0);
  ASSERT_TRUE(WaitForTree(1));
  EXPECT_TRUE(observed.DriveValues().empty());
  EXPECT_EQ(observed.opened, Rows{});
  EXPECT_TRUE(observed.requests.empty());
  form->SetDriveSystem(Win32DriveSystem());
}

// Rows the window must refuse say so and name the image; a relative row is relative to the
// list file's folder; a long path is kept whole; with no letter free the window says so.
TEST_F(DrivePanelWineTest, InsertChecksTheImageAndTheLetters) {
  DriveSystem &system = Win32DriveSystem();
  const std::string folder = store.Path().substr(0, store.Path().rfind('\\') + 1);
  const std::string image = store.stored[1].substr(folder.size()); // its name alone
  char subst = 'S';
  while (!IsDriveLetterFree(system, subst))
    ++subst;
  SubstLetters substs;
  substs.Add(subst, folder.substr(0, folder.size() - 1));
  const std::string onSubst = std::string(1, subst) + ":\\" + image;
  const struct {
    std::string row, message;
  } refused[] = {
      {"missing.iso", "找不到映像文件 \"" + folder + "missing.iso\", 无法插入虚拟光驱!"},
      {"..", "\"" + folder.substr(0, folder.size() - 1 - std::string("velmor-panel").size()) +
                 "\" 是文件夹, 不是映像文件, 无法插入虚拟光驱!"},
      {onSubst, "映像文件 \"" + onSubst + "\" 在用 SUBST 映射的盘符上"},
      {Env("VELMOR_NETWORK"), "映像文件 \"" + Env("VELMOR_NETWORK") + "\" 在网络驱动器上"},
      {"bad.cue", "\"" + folder + "bad.cue\" 第 1 行 指定的文件 \"" + folder +
                      "missing.bin\" 不存在, 无法插入虚拟光驱!"},
  };
  for (const auto &r : refused) {
    form->AddImageToList(r.row);
    DoubleClickRow(form->ListView1.Count() - 1);
    ASSERT_EQ(dialogs.messages.size(), 1u) << r.row;
    EXPECT_EQ(dialogs.messages[0].text.rfind(r.message, 0), 0u) << dialogs.messages[0].text;
    dialogs.messages.clear();
    EXPECT_FALSE(form->Animate1.Visible());
    EXPECT_TRUE(system.DriveValues().empty());
  }

  // The image by its name alone, one whose path is past MAX_PATH, and a cue sheet (in GBK)
  // over the first image: a layout drive, recorded by the sheet's path.
  form->AddImageToList(image);
  DoubleClickRow(form->ListView1.Count() - 1);
  ASSERT_TRUE(WaitForTree(2)) << ::testing::PrintToString(Tree());
  form->AddImageToList(Env("VELMOR_LONG"));
  DoubleClickRow(form->ListView1.Count() - 1);
  ASSERT_TRUE(WaitForTree(3)) << ::testing::PrintToString(Tree());
  form->AddImageToList("disc.cue");
  DoubleClickRow(form->ListView1.Count() - 1);
  ASSERT_TRUE(WaitForTree(4)) << ::testing::PrintToString(Tree());
  EXPECT_TRUE(dialogs.messages.empty());
  const auto values = system.DriveValues();
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].second, store.stored[1]);
  EXPECT_EQ(values[1].second, Env("VELMOR_LONG"));
  EXPECT_EQ(values[2].second, folder + "disc.cue");
  ExpectSectorsOfImage(values[0].first[0], store.stored[1]);
  ExpectSectorsOfImage(values[1].first[0], store.stored[1]);
  ExpectSectorsOfImage(values[2].first[0], store.stored[0]);

  // Every letter taken: the insert says so and asks for nothing.
  {
    SubstLetters all;
    for (char letter : {'A', 'B'})
      all.Add(letter, folder.substr(0, folder.size() - 1));
    for (char letter = 'C'; letter <= 'Z'; ++letter)
      if (IsDriveLetterFree(system, letter))
        all.Add(letter, folder.substr(0, folder.size() - 1));
    DoubleClickRow(1);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text.rfind("没有空闲的盘符", 0), 0u) << dialogs.messages[0].text;
    EXPECT_FALSE(form->Animate1.Visible());
    EXPECT_EQ(system.DriveValues().size(), 3u);
  }

  for (const auto &value : values)
    EXPECT_TRUE(EjectVirtualDrive(system, value.first[0]) || !Opens(value.first[0]));
  EXPECT_TRUE(system.DriveValues().empty());
}

// A folder with Chinese names chosen from the drive menu becomes a drive of its own image in
// the cache folder, which the list never shows and the eject deletes. Then the File menu's
// uninstall, confirmed, takes every drive and says what it could not do (until the driver can
// unload, the stop of its service); it runs last, as it leaves the driver marked for removal.
TEST_F(DrivePanelWineTest, FolderAsADiscThenUninstall) {
  DriveSystem &system = Win32DriveSystem();
  const int rows = form->ListView1.Count();
  dialogs.chosen = {Env("VELMOR_FOLDER")};
  SendMessageA(form->Handle(), WM_COMMAND, mnuMountFolder, 0);
  ASSERT_TRUE(WaitForTree(2)) << ::testing::PrintToString(Tree());
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(IsWindowEnabled(form->Handle())) << "disabled only while the image is built";
  EXPECT_EQ(form->ListView1.Count(), rows);
  auto values = system.DriveValues();
  ASSERT_EQ(values.size(), 1u);
  const std::string image = values[0].second;
  EXPECT_TRUE(IsFolderDiscImage(system, image)) << image;
  // The tree shows the folder the disc holds, not its image.
  EXPECT_EQ(Tree(), (Rows{kProductTitle, values[0].first + ":(" + Env("VELMOR_FOLDER") + ")"}));
  ExpectSectorsOfImage(values[0].first[0], image);
  DoubleClickNode(DriveNode(values[0].first[0]));
  ASSERT_TRUE(WaitForTree(1));
  EXPECT_EQ(system.KindOfPath(image), DriveSystem::PathKind::kMissing);

  // Uninstall: asked first, then every drive goes, the folder's image with it.
  SendMessageA(form->Handle(), WM_COMMAND, mnuMountFolder, 0);
  ASSERT_TRUE(WaitForTree(2));
  const std::string second = system.DriveValues().at(0).second;
  dialogs.answer = IDNO;
  SendMessageA(form->Handle(), WM_COMMAND, mnuUninstall, 0);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(system.DriveValues().size(), 1u) << "uninstalled without a yes";
  dialogs.messages.clear();
  dialogs.answer = IDYES;
  SendMessageA(form->Handle(), WM_COMMAND, mnuUninstall, 0);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  const std::string &said = dialogs.messages[1].text;
  EXPECT_TRUE(said == "虚拟光驱驱动程序已卸载." ||
              said.find("无法停止驱动程序服务 VELMOR") != std::string::npos)
      << said;
  EXPECT_TRUE(system.DriveValues().empty());
  EXPECT_EQ(system.KindOfPath(second), DriveSystem::PathKind::kMissing);
  // The cache folder, empty, went too (and the program's folder above it).
  const std::string cache = second.substr(0, second.rfind('\\'));
  EXPECT_EQ(system.KindOfPath(cache), DriveSystem::PathKind::kMissing) << cache;
  EXPECT_EQ(Tree(), Rows{kProductTitle});
}

} // namespace
} // namespace velmor
