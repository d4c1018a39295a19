#pragma once
// The image-from-files window: the user gathers files and folders in a list (picked or dropped
// from the shell), chooses the image file and the volume label, and builds the image. The
// component writes it on its own threads; the window starts, polls and stops the write, and does
// all of its own work on the GUI thread.
#include "boot_pick.h"
#include "gather_items.h"
#include "image_import.h"
#include "kavo_burner.h"
#include "ui/ExDragDrop.h"
#include "winkit/ComboBox.h"
#include "winkit/Dialogs.h"
#include "winkit/FormControls.h"
#include "winkit/Gauge.h"
#include "winkit/Handle.h"
#include "winkit/HintWindow.h"
#include "winkit/ListView.h"
#include "winkit/Panel.h"
#include "winkit/WorkWindow.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmor {

enum BuildControl : int {
  idPanelFile = 100,
  idBottomPanel,
  idAddDir,
  idAddFile,
  idDelete,
  idClear,
  idListView1,
  idLabelProgress,
  idGauge1,
  idLabelSize,
  idLabelPath,
  idEditIsoFileName,
  idSaveIso,
  idLabelVolume,
  idEditVolume,
  idStart,
  idAbort,
  idLabelBoot,
  idComboBoot,
  idOpenImage,
};

// The rows of the boot choice, in the order of BootChoice.
constexpr const char *kBootChoices[] = {"否", "BIOS", "UEFI", "两者"};

// The list's pictures.
constexpr int kFolderPicture = 0;
constexpr int kFilePicture = 1;
// An existing image whose tree the new one starts from (one at most).
constexpr int kImagePicture = 2;

class TFrmISOCreate : public winkit::WorkWindow {
public:
  // `addImageToList` receives the path of a finished image (the main window's list).
  TFrmISOCreate(HWND owner, std::function<void(const std::string &)> addImageToList);
  ~TFrmISOCreate() override;

  void FormCreate();
  void FormResize();
  void AddFolderItem(const std::string &path);
  void AddFileItem(const std::string &path);
  // Takes the tree of an existing image as what the new image starts from: the row of an image
  // opened before gives its place.
  void OpenImageItem(const std::string &path);
  void btnOpenImageClick();
  void btnAddDirClick();
  void btnAddFileClick();
  void btnDeleteClick();
  void btnClearClick();
  void btnSaveIsoClick();
  void btnStartClick();
  void btnAbortClick();
  void Timer1Timer();
  void ExDragDrop1Dropped(TExDragDrop *Sender, std::int32_t ItemsCount);
  // The component's completion event, raised on the writer thread: hands the end of the build
  // to the GUI thread.
  void KavoBurner1WriteDone(TKavoBurner *Sender, const std::string &Error);

  bool Building() const { return building_; }
  // The items are being gathered and laid out, off the window's thread; and the files taken so
  // far (both may be read from any thread).
  bool Gathering() const { return gathering_; }
  std::int64_t FilesGathered() const { return filesGathered_; }
  // A build that has not been given up yet.
  bool Working() const override { return building_ && !aborted_; }
  void AbandonWork() override { btnAbortClick(); }

  winkit::Panel PanelFile;
  winkit::Button btnAddDir, btnAddFile, btnDelete, btnClear, btnOpenImage;
  winkit::ListView ListView1;
  winkit::Panel PanelBottom;
  winkit::Label LabelProgress, LabelPath, LabelVolume;
  winkit::Gauge Gauge1;
  winkit::Label Label_Size;
  winkit::Edit Edit_IsoFileName;
  winkit::Button btnSaveIso;
  winkit::Edit Edit_Volume;
  // "可引导": none, BIOS, UEFI or both; the boot images are picked from what was gathered.
  winkit::Label LabelBoot;
  winkit::ComboBox ComboBoot;
  winkit::Button btnStart;
  winkit::Button btnAbort;
  winkit::HintWindow Hints;
  winkit::FileDialogOptions OpenDialog1;
  winkit::FileDialogOptions SaveDialog1;
  winkit::FileDialogOptions ImageDialog;
  TExDragDrop ExDragDrop1;
  // Owned through a pointer so that the write's threads are ended before the window goes.
  std::unique_ptr<TKavoBurner> KavoBurner1;

protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;
  bool OnCommand(int id, int code) override;

private:
  struct LeftOutLine {
    std::string path, reason;
  };

  void CreateControls();
  void SetBuilding(bool building);
  void StartGathering(std::vector<SourceItem> items, std::string image, std::string label,
                      BootChoice boot);
  void JoinGatherer();
  void Gathered();
  void WriteDone(const WriteFailure &failure);
  std::string LeftOutMessage() const;
  std::string TotalMegabytes() const;

  std::function<void(const std::string &)> addImageToList_;
  HWND self_ = nullptr; // where the writer thread posts the end of a build; set before any write
  winkit::FontHandle font_;
  winkit::ImageListHandle ImageList1;
  bool aborted_ = false;
  bool building_ = false;
  std::string imagePath_;            // the image being built
  std::vector<LeftOutLine> leftOut_; // what the tree could not take, in the order found
  std::thread gatherer_;
  std::atomic<bool> gathering_{false}, stopGathering_{false};
  std::atomic<std::int64_t> filesGathered_{0};
  GatherResult gathered_;   // written by the gathering thread, read once it has ended
  ImportResult imported_;   // the same, for the image opened
  std::string bootRefusal_; // the same: why the image cannot boot as chosen
  std::string bootError_;   // the same: why the opened image's boot could not be kept
  std::mutex doneLock_;
  WriteFailure doneFailure_; // how the write ended, from the writer thread
};

// The image-from-files window while it exists.
extern TFrmISOCreate *FrmISOCreate;

} // namespace velmor
