#include "FrmISOBuilder.h"

#include "RipOutputs.h"
#include "VolumeFiles.h"
#include "code_page.h"
#include "path_chars.h"
#include "platform.h"
#include "size_text.h"
#include "utf8.h"
#include "winkit/Application.h"
#include "winkit/Font.h"
#include "winkit/InputChecks.h"
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

TFrmISOBuilder::TFrmISOBuilder(HWND owner, std::function<void(const std::string &)> addImageToList,
                               ServedImages &served)
    : addImageToList_(std::move(addImageToList)), served_(served) {
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
  CheckBoxVerify.Create(me, idCheckBoxVerify, "校验");
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
  CheckBoxVerify.Move(316, 17, 70, 20);
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
           &LabelDrive, &ComboBox1, &CheckBoxCRC, &CheckBoxVerify, &LabelPath, &Edit_IsoFileName,
           &btnSaveIso, &LabelProgress, &Label_Size, &btnStart, &btnAbort})
    c->SetFont(font_.get());
  SendMessageA(Gauge1.Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);

  // A disc with audio or several tracks becomes NAME.cue and its .bin files, whichever is chosen.
  SaveDialog1.filter = "*.iso|*.iso|*.cue|*.cue";
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
           &ComboBox1, &CheckBoxCRC, &CheckBoxVerify, &Edit_IsoFileName, &btnSaveIso, &btnStart})
    c->Enable(!copying);
  btnAbort.Enable(copying);
  KeysFollowWork(copying);
}

void TFrmISOBuilder::btnStartClick() {
  const std::string drive = Upper(ComboBox1.Text());
  VolumeFile source(ComboBox1.Text());
  DiscToc toc;
  const bool haveToc = !drive.empty() && source.IsOpen() && source.ReadToc(&toc);
  std::vector<TrackForm> forms;
  if (haveToc) {
    DriveSectors sectors(source);
    for (const TocTrack &t : toc.tracks)
      forms.push_back(t.control & 0x04 ? sectors.DataTrackForm(t.start) : TrackForm::kAudio);
  }
  if (haveToc && !IsPlainDataDisc(toc, forms[0])) {
    std::string path;
    if (!winkit::TargetPathFrom(*this, Edit_IsoFileName, path))
      return;
    if (CopyRaw(source, toc, forms, path))
      Close();
    return;
  }
  // One data track: the smaller of the drive's length and the volume's size, since a
  // track-at-once CD-R's last two run-out blocks may not read. The volume's size is the
  // system's, or the device's own smaller length where the system's figure is another file
  // system's (as under Wine), else the volume's descriptor; without either, the table of
  // contents.
  std::int64_t volume = VolumeTotalBytes(drive.empty() ? '\0' : drive[0]);
  const std::int64_t length = source.IsOpen() ? source.Length() : -1;
  if (length > 0 && (volume <= 0 || length < volume))
    volume = length;
  if (volume <= 0 && source.IsOpen()) {
    // Under Wine our drives have no file system mounted: the volume's own descriptor tells.
    std::uint8_t sector[kCookedSector];
    std::uint32_t got = 0;
    if (source.Read(16 * kCookedSector, sector, kCookedSector, got) && got == kCookedSector)
      volume = std::int64_t(Iso9660VolumeBytes(sector));
  }
  const std::int64_t disk = source.IsOpen() ? source.DiskLength() : -1;
  std::int64_t size = disk > 0 && (volume <= 0 || disk < volume) ? disk : volume;
  if (size <= 0 && haveToc)
    size = std::int64_t(toc.leadOut - toc.tracks[0].start) * kCookedSector;
  if (size <= 0)
    return Say("光驱" + ComboBox1.Text() + "尚未准备就绪!");
  if (!source.IsOpen()) {
    Say(winkit::WithSystemReason("无法打开光驱读取文件!", source.LastError()));
    return;
  }
  std::string path;
  if (!winkit::TargetPathFrom(*this, Edit_IsoFileName, path))
    return;
  if (Copy(source, size, path))
    Close();
}

bool TFrmISOBuilder::ClearOutputs(const std::vector<std::string> &outputs,
                                  std::vector<std::string> &replaced) {
  const ServedTarget served = FirstServed(served_, outputs);
  if (served.image.letter) {
    Say(winkit::ServedImageText(served.path, served.image.letter, served.image.path));
    return false;
  }
  replaced.clear();
  for (const std::string &file : outputs)
    if (winkit::FileExists(file))
      replaced.push_back(file);
  return winkit::AgreeToReplace(*this, replaced);
}

bool TFrmISOBuilder::Progress(std::uint64_t done, std::uint64_t total, int track) {
  // A disc delivers a block every few hundred milliseconds, and each one is shown and followed
  // by the application's messages (how "放弃压制" is heard). An image in the system's cache
  // delivers hundreds a second: drawing each would halve the speed, and looking for messages
  // after each (a round trip to Wine's server and the display) cost a fifth of it. Both
  // therefore wait for the next 50 ms, except after the last block.
  if (GetTickCount() - shown_ >= kRedrawMs || done >= total) {
    shown_ = GetTickCount();
    Gauge1.SetValue(static_cast<std::int64_t>(done));
    std::string text = ProgressText(static_cast<std::int64_t>(done), std::int64_t(total));
    if (track > 0)
      text += "  第" + std::to_string(track) + "轨";
    Label_Size.SetText(text);
    winkit::App().ProcessMessages();
  }
  return abortFlag_ == 1 || winkit::App().Terminated();
}

std::string TFrmISOBuilder::Verify(DiscSource &source, const std::vector<PlannedTrack> &plan,
                                   const std::vector<std::uint32_t> &sectorSums) {
  if (!CheckBoxVerify.Checked())
    return {};
  const std::uint64_t total = PlannedBytes(plan);
  LabelProgress.SetText("校验进度");
  Gauge1.SetMax(std::int64_t(total));
  shown_ = GetTickCount() - kRedrawMs;
  const VerifyResult v =
      VerifyDisc(source, plan, sectorSums, [&](std::uint64_t done, std::uint8_t track) {
        return Progress(done, total, plan.size() > 1 ? track : 0);
      });
  LabelProgress.SetText("压制进度");
  if (v.end == RipEnd::Aborted)
    return "\r\n用户放弃校验.";
  if (v.differing == 0)
    return "\r\n校验通过.";
  return "\r\n校验失败: 共有" + std::to_string(v.differing) + "个扇区与映像不同, 第一个是第" +
         std::to_string(v.firstDiffering) + "扇区.";
}

namespace {

// The last "\" or "/" that starts a character: in GBK the second byte of 運 is a "\".
size_t LastSeparator(const std::string &path) {
  static const CharTable chars(NativePlatform());
  return FindLastSeparator(path, "\\/", chars);
}

std::string WithoutExtension(const std::string &path) {
  const size_t slash = LastSeparator(path);
  const size_t dot = path.rfind('.');
  return dot == std::string::npos || (slash != std::string::npos && dot < slash)
             ? path
             : path.substr(0, dot);
}

// The system's error code, 0 when the whole text was written.
DWORD WriteTextFile(RipOutputs &outputs, const std::string &path, const std::string &text) {
  const std::unique_ptr<RippedImageFile> file = outputs.Create(path);
  if (!file->IsOpen())
    return file->LastError();
  if (file->Write(text.data(), std::uint32_t(text.size())) != text.size()) {
    const DWORD error = file->LastError();
    file->Discard();
    return error;
  }
  return 0;
}

// The .sha1 list as sha1sum writes it: the names in UTF-8, without a byte-order mark.
std::string Sha1ListFile(std::vector<FileSum> sums) {
  for (FileSum &s : sums)
    s.name = text::Utf16ToUtf8(text::AnsiToUtf16(s.name));
  return Sha1ListText(sums);
}

// Where the sums of an image go: beside it, under its name with ".sha1" (added to the whole
// name where the image itself ends in ".sha1").
std::string SumsPathOf(const std::string &withoutExtension, const std::string &image) {
  const std::string sums = withoutExtension + ".sha1";
  return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, sums.c_str(), -1, image.c_str(),
                        -1) == CSTR_EQUAL
             ? image + ".sha1"
             : sums;
}

std::string SumsText(const std::vector<FileSum> &sums) {
  std::string text;
  for (const FileSum &s : sums)
    if (!s.crc32.empty())
      text += "\r\n" + s.name + "\r\n  CRC32: " + s.crc32 + "  SHA-1: " + s.sha1;
  return text;
}

// A track file that leaves the system's reason for a failed write where the window finds it
// once the copy has ended (and the file is gone).
class ReasonKeepingFile final : public ImageTarget {
public:
  ReasonKeepingFile(std::unique_ptr<RippedImageFile> file, DWORD &error)
      : file_(std::move(file)), error_(error) {}
  std::uint32_t Write(const void *data, std::uint32_t size) override {
    const std::uint32_t written = file_->Write(data, size);
    if (written != size)
      error_ = file_->LastError();
    return written;
  }
  void Discard() override { file_->Discard(); }

private:
  std::unique_ptr<RippedImageFile> file_;
  DWORD &error_;
};

std::string NameOf(const std::string &path) {
  const size_t slash = LastSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

// Checks and opens the target, copies and reports. Returns true when the window is done: the
// copy finished or was given up. After an error the window is idle again for another try.
bool TFrmISOBuilder::Copy(VolumeFile &source, std::int64_t size, const std::string &path) {
  const std::string sumsPath = SumsPathOf(WithoutExtension(path), path);
  std::vector<std::string> replaced;
  if (!ClearOutputs({path, sumsPath}, replaced))
    return false;
  RipOutputs outputs(replaced);
  const std::unique_ptr<RippedImageFile> target = outputs.Create(path);
  if (!target->IsOpen()) {
    source.Close();
    Say(winkit::WithSystemReason("无法创建ISO文件!", target->LastError()));
    return false;
  }
  SetCopying(true);
  abortFlag_ = 0;
  Gauge1.SetMax(size);
  Gauge1.SetValue(0);
  RipOptions options;
  options.volumeSize = static_cast<std::uint64_t>(size);
  options.ignoreBadSectors = CheckBoxCRC.Checked();
  std::vector<std::uint32_t> sectorSums;
  SummingTarget summing(*target, kCookedSector, CheckBoxVerify.Checked() ? &sectorSums : nullptr);
  shown_ = GetTickCount() - kRedrawMs;
  const RipResult result = CopyVolume(source, summing, options, [&](std::uint64_t copied) {
    return Progress(copied, std::uint64_t(size), 0);
  });
  Gauge1.SetValue(static_cast<std::int64_t>(result.copied));
  Label_Size.SetText(ProgressText(static_cast<std::int64_t>(result.copied), size));

  switch (result.end) {
  case RipEnd::Aborted:
    source.Close();
    copying_ = false;
    Say("用户放弃压制!");
    return true;
  case RipEnd::Finished: {
    const FileSum sum = summing.Finish(NameOf(path));
    target->Close();
    std::string text = "压制完毕!";
    if (options.ignoreBadSectors)
      text += "\r\n共有" + std::to_string(result.zeroedSectors) + "个坏扇区以零填充.";
    const DWORD sumsError = WriteTextFile(outputs, sumsPath, Sha1ListFile({sum}));
    if (!Commit(outputs)) {
      source.Close();
      return false;
    }
    if (sumsError)
      text += "\r\n无法写入校验文件 " + sumsPath + "!";
    text += SumsText({sum});
    PlannedTrack whole;
    whole.form = TrackForm::kCooked;
    whole.sectors = std::uint32_t((result.copied + kCookedSector - 1) / kCookedSector);
    DriveSectors sectors(source);
    text += Verify(sectors, {whole}, sectorSums);
    source.Close();
    copying_ = false;
    Say(text);
    if (addImageToList_)
      addImageToList_(path);
    return true;
  }
  case RipEnd::ReadFailed:
  case RipEnd::WriteFailed:
    break;
  }
  source.Close();
  copying_ = false;
  Say(FailureText(result,
                  result.end == RipEnd::ReadFailed ? source.LastError() : target->LastError()));
  SetCopying(false);
  ResetProgress(Gauge1, Label_Size);
  return false;
}

// Puts the files written under temporary names in place of the files they replace; on failure
// says which could not be replaced and leaves the window idle for another try.
bool TFrmISOBuilder::Commit(RipOutputs &outputs) {
  std::string failed;
  DWORD error = 0;
  if (outputs.Commit(failed, error))
    return true;
  copying_ = false;
  Say(winkit::WithSystemReason("无法替换原有文件 " + failed + "!", error));
  SetCopying(false);
  ResetProgress(Gauge1, Label_Size);
  return false;
}

// The raw road: one .bin per track and the cue sheet, named after the chosen path.
bool TFrmISOBuilder::CopyRaw(VolumeFile &source, const DiscToc &toc,
                             const std::vector<TrackForm> &forms, const std::string &path) {
  const std::string base = WithoutExtension(path);
  const std::string folder = path.substr(0, path.size() - NameOf(path).size());
  DriveSectors sectors(source);
  const std::vector<PlannedTrack> plan =
      PlanTracks(toc, forms, NameOf(base), FindPregaps(sectors, toc, forms));
  const std::string cuePath = base + ".cue", sumsPath = base + ".sha1";
  std::vector<std::string> files;
  for (const PlannedTrack &t : plan)
    files.push_back(folder + t.file);
  files.push_back(cuePath);
  files.push_back(sumsPath);
  std::vector<std::string> replaced;
  if (!ClearOutputs(files, replaced))
    return false;
  RipOutputs outputs(replaced);
  const std::uint64_t total = PlannedBytes(plan);
  DWORD writeError = 0;
  const TrackFileOpener open = [&](const std::string &name) -> std::unique_ptr<ImageTarget> {
    std::unique_ptr<RippedImageFile> file = outputs.Create(folder + name);
    if (!file->IsOpen()) {
      writeError = file->LastError();
      return nullptr;
    }
    return std::make_unique<ReasonKeepingFile>(std::move(file), writeError);
  };
  SetCopying(true);
  abortFlag_ = 0;
  Gauge1.SetMax(std::int64_t(total));
  Gauge1.SetValue(0);
  shown_ = GetTickCount() - kRedrawMs;
  const DiscRipResult result = CopyDisc(
      sectors, plan, open, CheckBoxCRC.Checked(), CheckBoxVerify.Checked(),
      [&](std::uint64_t done, std::uint8_t track) { return Progress(done, total, track); });
  if (result.end == RipEnd::Aborted) {
    copying_ = false;
    Say("用户放弃压制!");
    return true;
  }
  if (result.end == RipEnd::Finished) {
    const std::string cue = CueSheetText(plan);
    Sha1 cueSum;
    cueSum.Add(cue.data(), cue.size());
    if (const DWORD error = WriteTextFile(outputs, cuePath, cue)) {
      // Track files without their sheet are no image: they go too.
      outputs.Discard();
      copying_ = false;
      Say(winkit::WithSystemReason("无法写入 " + cuePath + "!\r\n未完成的映像文件已删除.", error));
      SetCopying(false);
      ResetProgress(Gauge1, Label_Size);
      return false;
    }
    std::vector<FileSum> listed = result.sums;
    listed.push_back(FileSum{NameOf(cuePath), cueSum.Hex(), ""});
    const DWORD sumsError = WriteTextFile(outputs, sumsPath, Sha1ListFile(listed));
    if (!Commit(outputs))
      return false;
    std::string text = "压制完毕!";
    if (sumsError)
      text += "\r\n无法写入校验文件 " + sumsPath + "!";
    if (CheckBoxCRC.Checked())
      text += "\r\n共有" + std::to_string(result.zeroedSectors) + "个坏扇区已填充.";
    text += SumsText(result.sums);
    text += Verify(sectors, plan, result.sectorSums);
    copying_ = false;
    Say(text);
    if (addImageToList_)
      addImageToList_(cuePath);
    return true;
  }
  copying_ = false;
  const char *what = result.end == RipEnd::ReadFailed ? "读取光驱失败" : "写入映像文件失败";
  Say(winkit::WithSystemReason(
      std::string(what) + ",出错位置: 第" + std::to_string(result.failedLba) + "扇区 (" +
          result.failedFile + ")!\r\n未完成的映像文件已删除.",
      result.end == RipEnd::ReadFailed ? sectors.LastError() : writeError));
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
