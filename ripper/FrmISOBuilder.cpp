#include "FrmISOBuilder.h"

#include "VolumeFiles.h"
#include "size_text.h"
#include "winkit/Application.h"
#include "winkit/Font.h"
#include "winkit/SystemError.h"
#include "winkit/TargetFile.h"

namespace velmor {

TFrmISOBuilder *FrmISOBuilder = nullptr;

namespace {

constexpr int kClientWidth = 401;
constexpr int kClientHeight = 185;
constexpr DWORD kRedrawMs = 50; // the most often progress is drawn and messages handled

std::string Upper(std::string text) {
  for (char &c : text)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// What failed, where, and the system's reason as a detail line.
std::string FailureText(const RipResult &result, DWORD systemError) {
  const std::string at = std::to_string(result.failedOffset);
  const char *what = result.end == RipEnd::ReadFailed ? "读取光驱失败" : "写入ISO文件失败";
  return winkit::WithSystemReason(
      std::string(what) + ",出错位置: 第" + at + "字节!\r\n未完成的ISO文件已删除.", systemError);
}

} // namespace

TFrmISOBuilder::TFrmISOBuilder(HWND owner, std::function<void(const std::string &)> addImageToList)
    : addImageToList_(std::move(addImageToList)) {
  CreateTopLevel("TFrmISOBuilder", "", WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN,
                 kClientWidth, kClientHeight, owner);
  FrmISOBuilder = this;
  CreateControls();
  UseDialogKeys();
  SetDefaultButton(idStart);
  winkit::App().Guard([this] { FormCreate(); });
}

TFrmISOBuilder::~TFrmISOBuilder() {
  Destroy();
  if (FrmISOBuilder == this)
    FrmISOBuilder = nullptr;
}

void TFrmISOBuilder::CreateControls() {
  font_ = winkit::MakeFont("宋体", 12, GB2312_CHARSET);
  const HWND me = Handle();
  LabelDrive.Create(me, idLabelDrive, "选择光驱");
  ComboBox1.Create(me, idComboBox1);
  ComboBox1.OnKeyPress([this](char &key) { ComboBox1KeyPress(key); });
  CheckBoxCRC.Create(me, idCheckBoxCRC, "忽略坏扇区");
  LabelPath.Create(me, idLabelPath, "保存路径");
  Edit_IsoFileName.Create(me, idEditIsoFileName);
  btnSaveIso.Create(me, idSaveIso, "选择");
  LabelProgress.Create(me, idLabelProgress, "压制进度");
  Gauge1.Create(me, idGauge1);
  Label_Size.Create(me, idLabelSize, winkit::kIdleProgress);
  btnStart.Create(me, idStart, "开始压制");
  btnAbort.Create(me, idAbort, "放弃压制");

  // Three rows of label and field, then the two buttons at the bottom right.
  LabelDrive.Move(16, 20, 56, 14);
  ComboBox1.Move(80, 16, 96, 120);
  CheckBoxCRC.Move(200, 17, 110, 20);
  LabelPath.Move(16, 56, 56, 14);
  Edit_IsoFileName.Move(80, 52, 240, 21);
  btnSaveIso.Move(328, 51, 57, 23);
  LabelProgress.Move(16, 92, 56, 14);
  Gauge1.Move(80, 89, 240, 20);
  Label_Size.Move(80, 115, 240, 14);
  btnStart.Move(200, 144, 88, 27);
  btnAbort.Move(297, 144, 88, 27);

  SendMessageA(me, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  for (winkit::Control *c : std::initializer_list<winkit::Control *>{
           &LabelDrive, &ComboBox1, &CheckBoxCRC, &LabelPath, &Edit_IsoFileName, &btnSaveIso,
           &LabelProgress, &Label_Size, &btnStart, &btnAbort})
    c->SetFont(font_.get());
  SendMessageA(Gauge1.Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);

  SaveDialog1.filter = "*.iso|*.iso";
  SaveDialog1.defaultExt = ".iso";
}

void TFrmISOBuilder::FormCreate() {
  SetText("压制");
  btnAbort.Enable(false);
  Gauge1.SetValue(0);
  Edit_IsoFileName.SetText("");
}

void TFrmISOBuilder::ComboBox1KeyPress(char &key) { key = 0; }

void TFrmISOBuilder::btnSaveIsoClick() {
  std::string file;
  if (winkit::Dialogs().SaveFile(Handle(), SaveDialog1, file))
    Edit_IsoFileName.SetText(file);
}

void TFrmISOBuilder::btnAbortClick() { abortFlag_ = 1; }

void TFrmISOBuilder::SetCopying(bool copying) {
  copying_ = copying;
  for (winkit::Control *c : std::initializer_list<winkit::Control *>{
           &ComboBox1, &CheckBoxCRC, &Edit_IsoFileName, &btnSaveIso, &btnStart})
    c->Enable(!copying);
  btnAbort.Enable(copying);
  KeysFollowWork(copying);
}

void TFrmISOBuilder::btnStartClick() {
  const std::string drive = Upper(ComboBox1.Text());
  const std::int64_t size = VolumeTotalBytes(drive.empty() ? '\0' : drive[0]);
  if (size <= 0)
    return Say("光驱" + ComboBox1.Text() + "尚未准备就绪!");

  std::string path;
  if (!winkit::TakeTargetPath(*this, Edit_IsoFileName, path))
    return;
  if (Copy(ComboBox1.Text(), size, path))
    Close();
}

// Opens source and target, copies and reports. Returns true when the window is done: the copy
// finished or was given up. After an error the window is idle again for another try.
bool TFrmISOBuilder::Copy(const std::string &drive, std::int64_t size, const std::string &path) {
  VolumeFile source(drive);
  if (!source.IsOpen()) {
    Say(winkit::WithSystemReason("无法打开光驱读取文件!", source.LastError()));
    return false;
  }
  RippedImageFile target(path);
  if (!target.IsOpen()) {
    source.Close();
    Say(winkit::WithSystemReason("无法创建ISO文件!", target.LastError()));
    return false;
  }

  // Where the system's figure is that of another file system (Wine gives the host's), the
  // device's own smaller length is the disc's.
  const std::int64_t length = source.Length();
  if (length > 0 && length < size)
    size = length;

  SetCopying(true);
  abortFlag_ = 0;
  Gauge1.SetMax(size);
  Gauge1.SetValue(0);
  const auto showProgress = [&](std::uint64_t copied) {
    Gauge1.SetValue(static_cast<std::int64_t>(copied));
    Label_Size.SetText(ProgressText(static_cast<std::int64_t>(copied), size));
  };
  RipOptions options;
  options.volumeSize = static_cast<std::uint64_t>(size);
  options.ignoreBadSectors = CheckBoxCRC.Checked();
  // A disc delivers a block every few hundred milliseconds, and each one is shown and followed
  // by the application's messages (how "放弃压制" is heard). An image in the system's cache
  // delivers hundreds a second: drawing each would halve the speed, and looking for messages
  // after each (a round trip to Wine's server and the display) cost a fifth of it. Both
  // therefore wait for the next 50 ms, except after the last block of the volume.
  DWORD shown = GetTickCount() - kRedrawMs;
  const RipResult result = CopyVolume(source, target, options, [&](std::uint64_t copied) {
    if (GetTickCount() - shown >= kRedrawMs || copied >= static_cast<std::uint64_t>(size)) {
      shown = GetTickCount();
      showProgress(copied);
      winkit::App().ProcessMessages();
    }
    return abortFlag_ == 1 || winkit::App().Terminated();
  });
  showProgress(result.copied);
  source.Close();
  target.Close();
  copying_ = false;

  switch (result.end) {
  case RipEnd::Aborted:
    Say("用户放弃压制!");
    return true;
  case RipEnd::Finished:
    if (options.ignoreBadSectors)
      Say("压制完毕!\r\n共有" + std::to_string(result.zeroedSectors) + "个坏扇区以零填充.");
    else
      Say("压制完毕!");
    if (addImageToList_)
      addImageToList_(path);
    return true;
  case RipEnd::ReadFailed:
  case RipEnd::WriteFailed:
    break;
  }
  Say(FailureText(result,
                  result.end == RipEnd::ReadFailed ? source.LastError() : target.LastError()));
  SetCopying(false);
  ResetProgress(Gauge1, Label_Size);
  return false;
}

bool TFrmISOBuilder::OnCommand(int id, int code) {
  if (code != BN_CLICKED)
    return false;
  switch (id) {
  case idSaveIso:
    btnSaveIsoClick();
    return true;
  case idStart:
    btnStartClick();
    return true;
  case idAbort:
    btnAbortClick();
    return true;
  }
  return false;
}

LRESULT TFrmISOBuilder::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CONTEXTMENU && reinterpret_cast<HWND>(wp) == ComboBox1.Handle())
    return 0; // the drive box's menu has no items
  return WorkWindow::HandleMessage(msg, wp, lp);
}

} // namespace velmor
