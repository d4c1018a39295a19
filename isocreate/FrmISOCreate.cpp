#include "FrmISOCreate.h"

#include "BuildProblemText.h"
#include "SameFile.h"
#include "served_images.h"
#include "size_text.h"
#include "winkit/Application.h"
#include "winkit/Font.h"
#include "winkit/InputChecks.h"
#include "winkit/PaintedImages.h"
#include "winkit/TargetFile.h"

#include <ctime>

namespace velmor {

TFrmISOCreate *FrmISOCreate = nullptr;

namespace {

constexpr int kClientWidth = 511;
constexpr int kClientHeight = 360;
constexpr int kTopPanelHeight = 46;
constexpr int kBottomPanelHeight = 157;
constexpr UINT_PTR kTimer1 = 1;
constexpr UINT kTimer1Ms = 500;
constexpr UINT kWriteDoneMessage = WM_APP + 1;
constexpr UINT kGatheredMessage = WM_APP + 2;
constexpr size_t kLeftOutListed = 20; // the most paths one message lists

constexpr const char *kListHint = "可以直接将文件或目录拖放到此列表.\r\n"
                                  "\"包含子目录\"选项只对目录有效,\r\n"
                                  "表示同时读取该目录下所有子目录的内容.";

void PaintFolder(HDC dc, int) {
  winkit::PaintShape(dc, RGB(150, 110, 20), RGB(240, 200, 90),
                     [](HDC d) { Rectangle(d, 1, 2, 8, 6); });
  winkit::PaintShape(dc, RGB(150, 110, 20), RGB(250, 220, 120),
                     [](HDC d) { Rectangle(d, 1, 4, 15, 14); });
}

void PaintFile(HDC dc, int) {
  winkit::PaintShape(dc, RGB(90, 90, 90), RGB(255, 255, 255),
                     [](HDC d) { Rectangle(d, 3, 1, 13, 15); });
  winkit::PaintShape(dc, RGB(140, 160, 200), RGB(140, 160, 200), [](HDC d) {
    for (int y = 4; y <= 11; y += 2) {
      MoveToEx(d, 5, y, nullptr);
      LineTo(d, 11, y);
    }
  });
}

void PaintImage(HDC dc, int) {
  winkit::PaintShape(dc, RGB(90, 90, 120), RGB(200, 210, 230),
                     [](HDC d) { Ellipse(d, 1, 1, 15, 15); });
  winkit::PaintShape(dc, RGB(90, 90, 120), RGB(255, 255, 255),
                     [](HDC d) { Ellipse(d, 6, 6, 10, 10); });
}

// The label proposed from the clock: year, month, day _ hour, minute, second.
std::string LabelFromClock() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[32];
  wsprintfA(text, "%.2d%.2d%.2d_%.2d%.2d%.2d", now.wYear, now.wMonth, now.wDay, now.wHour,
            now.wMinute, now.wSecond);
  return text;
}

std::string Joined(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names)
    text += (text.empty() ? "" : ", ") + name;
  return text;
}

// Makes the gathered compilation boot as chosen; returns why it cannot, in the window's words.
std::string SetUpBoot(TKavoBurner &burner, BootChoice choice) {
  const BootPick pick = PickBootFiles(burner, choice);
  const char *const where = "(映像的任一目录下)";
  if (pick.BiosMissing)
    return "找不到BIOS引导文件" + std::string(where) + ": " + Joined(BiosBootNames());
  if (pick.UefiMissing)
    return "找不到UEFI引导文件" + std::string(where) + ": " + Joined(UefiBootNames());
  for (std::size_t i = 0; i < pick.Entries.size(); ++i) {
    const std::string error =
        i == 0 ? burner.SetBootImage(pick.Entries[i]) : burner.AddBootImage(pick.Entries[i]);
    if (!error.empty())
      return "引导文件不能使用!\r\n详细信息: " + error;
  }
  return {};
}

} // namespace

TFrmISOCreate::TFrmISOCreate(HWND owner, std::function<void(const std::string &)> addImageToList)
    : addImageToList_(std::move(addImageToList)) {
  CreateTopLevel("TFrmISOCreate", "", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, kClientWidth,
                 kClientHeight, owner);
  self_ = Handle();
  FrmISOCreate = this;
  KavoBurner1 = std::make_unique<TKavoBurner>();
  KavoBurner1->SetCacheSize(4194304);
  KavoBurner1->SetWritePostGap(true);
  KavoBurner1->SetUnderrunProtection(true);
  KavoBurner1->SetReplaceFile(false);
  KavoBurner1->SetVersion("1.1.7");
  KavoBurner1->OnWriteDone = [this](TKavoBurner *sender, const std::string &error) {
    KavoBurner1WriteDone(sender, error);
  };
  CreateControls();
  FormResize();
  UseDialogKeys();
  SetDefaultButton(idStart);
  winkit::App().Guard([this] { FormCreate(); });
}

TFrmISOCreate::~TFrmISOCreate() {
  // Ends a write that is still running (the window closed after "放弃压制", or the program is
  // quitting) while everything its threads use is there, and before the window they post to.
  stopGathering_ = true;
  JoinGatherer();
  KavoBurner1.reset();
  if (building_)
    DeleteFileA(imagePath_.c_str()); // unfinished
  ExDragDrop1.SetControl(nullptr);
  Destroy();
  if (FrmISOCreate == this)
    FrmISOCreate = nullptr;
}

void TFrmISOCreate::CreateControls() {
  font_ = winkit::MakeFont("宋体", 12, GB2312_CHARSET);
  const HWND me = Handle();
  SendMessageA(me, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);

  PanelFile.Create(me, idPanelFile);
  const HWND top = PanelFile.Handle();
  btnAddDir.Create(top, idAddDir, "添加目录");
  btnAddFile.Create(top, idAddFile, "添加文件");
  btnDelete.Create(top, idDelete, "删除");
  btnClear.Create(top, idClear, "清空");
  btnOpenImage.Create(top, idOpenImage, "打开映像");
  int x = 8;
  for (winkit::Button *b : {&btnAddDir, &btnAddFile, &btnDelete, &btnClear, &btnOpenImage}) {
    b->Move(x, 10, 75, 25);
    x += 83;
  }

  ListView1.Create(me, idListView1,
                   WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
                   LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  ListView1.AddColumn("包含子目录", 400);
  ImageList1.reset(winkit::MakePaintedImages(16, {PaintFolder, PaintFile, PaintImage}));
  ListView1.SetSmallImages(ImageList1.get());

  PanelBottom.Create(me, idBottomPanel);
  const HWND bottom = PanelBottom.Handle();
  LabelProgress.Create(bottom, idLabelProgress, "压制进度");
  Gauge1.Create(bottom, idGauge1);
  Label_Size.Create(bottom, idLabelSize, winkit::kIdleProgress);
  LabelPath.Create(bottom, idLabelPath, "保存路径");
  Edit_IsoFileName.Create(bottom, idEditIsoFileName);
  btnSaveIso.Create(bottom, idSaveIso, "选择");
  LabelVolume.Create(bottom, idLabelVolume, "映像卷标");
  Edit_Volume.Create(bottom, idEditVolume);
  LabelBoot.Create(bottom, idLabelBoot, "可引导");
  ComboBoot.Create(bottom, idComboBoot);
  for (const char *choice : kBootChoices)
    ComboBoot.Add(choice);
  btnStart.Create(bottom, idStart, "开始压制");
  btnAbort.Create(bottom, idAbort, "放弃压制");

  for (winkit::Control *c : std::initializer_list<winkit::Control *>{
           &btnAddDir, &btnAddFile, &btnDelete, &btnClear, &btnOpenImage, &ListView1,
           &LabelProgress, &Label_Size, &LabelPath, &Edit_IsoFileName, &btnSaveIso, &LabelVolume,
           &Edit_Volume, &LabelBoot, &ComboBoot, &btnStart, &btnAbort})
    c->SetFont(font_.get());
  SendMessageA(Gauge1.Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);

  Hints.Create(me);
  Hints.Add(ListView1.Handle(), kListHint);

  OpenDialog1.multiSelect = true;
  OpenDialog1.mustExist = true;
  OpenDialog1.hideReadOnly = true;
  OpenDialog1.resizable = true;
  ImageDialog.filter = "*.iso|*.iso";
  ImageDialog.mustExist = true;
  SaveDialog1.filter = "*.iso|*.iso";
  SaveDialog1.defaultExt = ".iso";

  // The component swallows what its handler throws; report it as every other handler does.
  ExDragDrop1.OnDropped = [this](TExDragDrop *sender, std::int32_t count) {
    winkit::App().Guard([&] { ExDragDrop1Dropped(sender, count); });
  };
  ExDragDrop1.SetControl(ListView1.Handle());
}

void TFrmISOCreate::FormCreate() {
  SetText("部分收纳");
  Edit_Volume.SetText(LabelFromClock());
  ComboBoot.Select(0);
  btnAbort.Enable(false);
  Gauge1.SetValue(0);
  Edit_IsoFileName.SetText("");
}

// Top panel, list, bottom panel; the bottom panel's fields stretch with the window.
void TFrmISOCreate::FormResize() {
  const SIZE client = ClientSize();
  const int w = client.cx;
  const int listHeight =
      std::max(0, static_cast<int>(client.cy) - kTopPanelHeight - kBottomPanelHeight);
  PanelFile.Move(0, 0, w, kTopPanelHeight);
  ListView1.Move(0, kTopPanelHeight, w, listHeight);
  PanelBottom.Move(0, kTopPanelHeight + listHeight, w, kBottomPanelHeight);

  const int fieldLeft = 76;
  const int right = std::max(fieldLeft + 200, w - 12);
  LabelProgress.Move(12, 18, 60, 14);
  // The label holds "99,999.00/99,999.00 MB" whole.
  Gauge1.Move(fieldLeft, 14, right - 144 - fieldLeft, 20);
  Label_Size.Move(right - 136, 18, 136, 14);
  LabelPath.Move(12, 54, 60, 14);
  Edit_IsoFileName.Move(fieldLeft, 50, right - 88 - fieldLeft, 21);
  btnSaveIso.Move(right - 80, 49, 80, 23);
  LabelVolume.Move(12, 90, 60, 14);
  Edit_Volume.Move(fieldLeft, 86, 160, 21);
  LabelBoot.Move(12, 126, 60, 14);
  ComboBoot.Move(fieldLeft, 122, 160, 120);
  btnStart.Move(right - 168, 84, 80, 25);
  btnAbort.Move(right - 80, 84, 80, 25);
  ListView1.SetColumnWidth(0, ListView1.ClientSize().cx);
}

void TFrmISOCreate::AddFolderItem(const std::string &path) {
  ListView1.SetChecked(ListView1.Append(path, kFolderPicture), true);
}

void TFrmISOCreate::AddFileItem(const std::string &path) {
  ListView1.SetChecked(ListView1.Append(path, kFilePicture), false);
}

void TFrmISOCreate::OpenImageItem(const std::string &path) {
  for (int row = ListView1.Count() - 1; row >= 0; --row)
    if (ListView1.Image(row) == kImagePicture)
      ListView1.Delete(row);
  ListView1.SetChecked(ListView1.Append(path, kImagePicture), false);
}

void TFrmISOCreate::btnOpenImageClick() {
  std::vector<std::string> files;
  if (winkit::Dialogs().OpenFiles(Handle(), ImageDialog, files) && !files.empty())
    OpenImageItem(files.front());
}

void TFrmISOCreate::btnAddFileClick() {
  std::vector<std::string> files;
  if (!winkit::Dialogs().OpenFiles(Handle(), OpenDialog1, files))
    return;
  for (const auto &file : files)
    AddFileItem(file);
}

void TFrmISOCreate::btnAddDirClick() {
  std::string folder;
  if (winkit::Dialogs().PickFolder(Handle(), "选择目录", folder))
    AddFolderItem(folder);
}

void TFrmISOCreate::ExDragDrop1Dropped(TExDragDrop *Sender, std::int32_t) {
  for (const auto &name : Sender->Items()) {
    if (winkit::DirectoryExists(name))
      AddFolderItem(name);
    else
      AddFileItem(name);
  }
}

void TFrmISOCreate::btnDeleteClick() { ListView1.DeleteSelected(); }

void TFrmISOCreate::btnClearClick() { ListView1.Clear(); }

void TFrmISOCreate::btnSaveIsoClick() {
  std::string file;
  if (winkit::Dialogs().SaveFile(Handle(), SaveDialog1, file))
    Edit_IsoFileName.SetText(file);
}

void TFrmISOCreate::SetBuilding(bool building) {
  building_ = building;
  PanelFile.Enable(!building);
  for (winkit::Control *c : std::initializer_list<winkit::Control *>{
           &ListView1, &Edit_IsoFileName, &btnSaveIso, &Edit_Volume, &ComboBoot, &btnStart})
    c->Enable(!building);
  btnAbort.Enable(building);
  KeysFollowWork(building);
}

std::string TFrmISOCreate::TotalMegabytes() const {
  return FormatMegabytes(KavoBurner1->ImageSectors() * kSectorSize);
}

void TFrmISOCreate::btnStartClick() {
  if (ListView1.Count() == 0)
    return Say("请先添加目录或文件!");
  std::string path, image;
  for (int row = 0; row < ListView1.Count(); ++row)
    if (ListView1.Image(row) == kImagePicture)
      image = ListView1.Caption(row);
  // An image one of our drives reads is never written over, nor the image opened.
  const auto refusal = [&image](const std::string &target) {
    if (!image.empty() && SameFile(target, image))
      return "不能写入 " + target + "!\r\n它是打开的映像 " + image + ", 请另选保存路径.";
    const ServedTarget served = FirstServed(SystemServedImages(), {target});
    return served.image.letter
               ? winkit::ServedImageText(target, served.image.letter, served.image.path)
               : std::string();
  };
  if (!winkit::TakeTargetPath(*this, Edit_IsoFileName, path, refusal))
    return;

  SetBuilding(true);
  StartTimer(kTimer1, kTimer1Ms, [this] { Timer1Timer(); });
  aborted_ = false;
  imagePath_ = path;
  leftOut_.clear();
  std::vector<SourceItem> items;
  for (int row = 0; row < ListView1.Count(); ++row) {
    const bool folder = ListView1.Image(row) == kFolderPicture;
    if (ListView1.Image(row) != kImagePicture)
      items.push_back({ListView1.Caption(row), folder, folder, ListView1.Checked(row)});
  }
  const int boot = ComboBoot.Selected();
  StartGathering(std::move(items), image, winkit::TrimBlanks(Edit_Volume.Text()),
                 static_cast<BootChoice>(boot < 0 ? 0 : boot));
}

// Gathering and laying out a large tree take seconds: they run on a thread of their own, which
// hands the prepared image back to the window's thread.
void TFrmISOCreate::StartGathering(std::vector<SourceItem> items, std::string image,
                                   std::string label, BootChoice boot) {
  filesGathered_ = 0;
  stopGathering_ = false;
  gathering_ = true;
  LabelProgress.SetText("正在收集");
  Label_Size.SetText("0个文件");
  bootRefusal_.clear();
  gatherer_ = std::thread([this, items = std::move(items), image = std::move(image),
                           label = std::move(label), boot] {
    TKavoBurner &burner = *KavoBurner1;
    burner.NewCompilation(600000, 20000);
    burner.SetJolietFileSystem(true);
    burner.SetIdVolume(label);
    imported_ = {};
    bootError_.clear();
    if (!image.empty()) {
      imported_ = ImportImage(burner, NativePlatform(), {image, {}});
      if (!imported_.Fault.empty() || imported_.LimitReached) {
        PostMessageA(self_, kGatheredMessage, 0, 0);
        return;
      }
    }
    GatherOptions options;
    options.Stop = [this] { return stopGathering_.load(); };
    options.FilesGathered = &filesGathered_;
    gathered_ = GatherItems(burner, items, options);
    // A boot chosen replaces the opened image's; else the image keeps the boot it had.
    if (!stopGathering_ && boot != BootChoice::None)
      bootRefusal_ = SetUpBoot(burner, boot);
    else if (!image.empty())
      bootError_ = KeepImportedBoot(burner, imported_);
    // UDF only where ISO 9660 and Joliet fall short, or where the image opened had it, so that
    // other images stay as they were.
    burner.SetUdfFileSystem(burner.CompilationWantsUdf() || std::string(imported_.Names) == "UDF");
    if (!stopGathering_ && bootRefusal_.empty() && bootError_.empty())
      burner.PrepareImage(true, nullptr);
    PostMessageA(self_, kGatheredMessage, 0, 0);
  });
}

// Ends the gathering thread: at once when the build was given up, after its work otherwise.
void TFrmISOCreate::JoinGatherer() {
  if (gatherer_.joinable())
    gatherer_.join();
  gathering_ = false;
}

// The image is prepared (on the gathering thread, now ended): the write starts.
void TFrmISOCreate::Gathered() {
  JoinGatherer();
  LabelProgress.SetText("压制进度");
  if (aborted_)
    return;
  const std::string refusal = !imported_.Fault.empty() ? "无法打开映像:\r\n" + imported_.Fault
                              : imported_.LimitReached ? "打开的映像超出了映像能容纳的文件数目."
                              : !bootRefusal_.empty() ? bootRefusal_
                              : !bootError_.empty() ? "无法保留打开的映像的引导:\r\n" + bootError_
                                                    : std::string();
  if (!refusal.empty()) { // refused before anything was written
    StopTimer(kTimer1);
    SetBuilding(false);
    ResetProgress(Gauge1, Label_Size);
    Say(refusal);
    return;
  }
  for (const LeftOutItem &item : imported_.LeftOut)
    leftOut_.push_back({item.Path, LeftOutText(item)});
  for (const LeftOutItem &item : gathered_.LeftOut)
    leftOut_.push_back({item.Path, LeftOutText(item)});
  Gauge1.SetMax(static_cast<std::uint32_t>(KavoBurner1->ImageSectors()));
  Gauge1.SetValue(0);
  Label_Size.SetText(TotalMegabytes() + " MB");
  KavoBurner1->WriteImage(imagePath_);
}

std::string TFrmISOCreate::LeftOutMessage() const {
  std::string text = "以下" + std::to_string(leftOut_.size()) + "项未能收入映像:\r\n";
  for (size_t i = 0; i < leftOut_.size() && i < kLeftOutListed; ++i)
    text += leftOut_[i].path + "  (" + leftOut_[i].reason + ")\r\n";
  if (leftOut_.size() > kLeftOutListed)
    text += "……另有" + std::to_string(leftOut_.size() - kLeftOutListed) + "项未列出.";
  return text;
}

void TFrmISOCreate::Timer1Timer() {
  if (gathering_) {
    Label_Size.SetText(FormatCount(static_cast<std::uint64_t>(filesGathered_.load())) + "个文件");
    return;
  }
  const std::int64_t written = KavoBurner1->BytesWritten();
  Label_Size.SetText(ProgressText(written, KavoBurner1->ImageSectors() * kSectorSize));
  Gauge1.SetValue(written / kSectorSize);
}

void TFrmISOCreate::btnAbortClick() {
  // The button is disabled then, but a click sent straight to the window still arrives.
  if (!building_ || aborted_)
    return;
  aborted_ = true;
  stopGathering_ = true;
  KavoBurner1->AbortWrite();
  StopTimer(kTimer1);
  Say("用户放弃压制!");
  Close();
}

void TFrmISOCreate::KavoBurner1WriteDone(TKavoBurner *Sender, const std::string &) {
  {
    std::lock_guard<std::mutex> lock(doneLock_);
    doneFailure_ = Sender->LastWriteFailure();
  }
  PostMessageA(self_, kWriteDoneMessage, 0, 0);
}

// The end of a build, on the GUI thread. A failed build is reported, its partial image deleted,
// and the window is ready for another try; a finished one first names what it left out.
void TFrmISOCreate::WriteDone(const WriteFailure &failure) {
  Edit_Volume.Enable(true);
  btnStart.Enable(true);
  ListView1.Enable(true);
  btnAbort.Enable(false);
  StopTimer(kTimer1);
  if (aborted_)
    return;
  building_ = false;
  if (failure) {
    DeleteFileA(imagePath_.c_str());
    SetBuilding(false);
    ResetProgress(Gauge1, Label_Size);
    Say(WriteFailureMessage(failure));
    return;
  }
  if (!leftOut_.empty())
    Say(LeftOutMessage());
  Say("压制完毕!");
  if (addImageToList_)
    addImageToList_(winkit::TrimBlanks(Edit_IsoFileName.Text()));
  Close();
}

bool TFrmISOCreate::OnCommand(int id, int code) {
  if (code != BN_CLICKED)
    return false;
  switch (id) {
  case idAddDir:
    btnAddDirClick();
    return true;
  case idAddFile:
    btnAddFileClick();
    return true;
  case idDelete:
    btnDeleteClick();
    return true;
  case idClear:
    btnClearClick();
    return true;
  case idSaveIso:
    btnSaveIsoClick();
    return true;
  case idStart:
    btnStartClick();
    return true;
  case idAbort:
    btnAbortClick();
    return true;
  case idOpenImage:
    btnOpenImageClick();
    return true;
  }
  return false;
}

LRESULT TFrmISOCreate::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_SIZE:
    FormResize();
    break;
  case kGatheredMessage:
    Gathered();
    return 0;
  case kWriteDoneMessage: {
    WriteFailure failure;
    {
      std::lock_guard<std::mutex> lock(doneLock_);
      failure = doneFailure_;
    }
    WriteDone(failure);
    return 0;
  }
  }
  return WorkWindow::HandleMessage(msg, wp, lp);
}

} // namespace velmor
