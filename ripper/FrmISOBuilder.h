#pragma once
// The ripper: copies the CD in a CD-ROM drive into an image file, shown modally by the main
// window's rip command. The copy runs inside "开始压制"'s handler and lets the application
// process its messages after a block once 50 ms have passed, which is how "放弃压制" is heard.
#include "winkit/ComboBox.h"
#include "winkit/Dialogs.h"
#include "winkit/FormControls.h"
#include "winkit/Gauge.h"
#include "winkit/Handle.h"
#include "winkit/WorkWindow.h"

#include "DiscCopy.h"
#include "served_images.h"

#include <cstdint>
#include <functional>
#include <string>

namespace velmor {

class RipOutputs;
class VolumeFile;

enum RipperControl : int {
  idComboBox1 = 100,
  idCheckBoxCRC,
  idEditIsoFileName,
  idSaveIso,
  idGauge1,
  idLabelSize,
  idStart,
  idAbort,
  idLabelDrive,
  idLabelPath,
  idLabelProgress,
  idCheckBoxVerify,
};

class TFrmISOBuilder : public winkit::WorkWindow {
public:
  // `addImageToList` receives the path of a finished image (the main window's list); `served`
  // tells the images our drives read, which the rip never writes over.
  TFrmISOBuilder(HWND owner, std::function<void(const std::string &)> addImageToList,
                 ServedImages &served = SystemServedImages());
  ~TFrmISOBuilder() override;

  void FormCreate();
  void btnSaveIsoClick();
  void btnStartClick();
  void btnAbortClick();
  void ComboBox1KeyPress(char &key);
  bool Working() const override { return copying_; }
  void AbandonWork() override { btnAbortClick(); }

  winkit::Label LabelDrive;
  winkit::ComboBox ComboBox1;
  winkit::CheckBox CheckBoxCRC;
  winkit::CheckBox CheckBoxVerify;
  winkit::Label LabelPath;
  winkit::Edit Edit_IsoFileName;
  winkit::Button btnSaveIso;
  winkit::Label LabelProgress;
  winkit::Gauge Gauge1;
  winkit::Label Label_Size;
  winkit::Button btnStart;
  winkit::Button btnAbort;
  winkit::FileDialogOptions SaveDialog1;

protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;
  bool OnCommand(int id, int code) override;

private:
  void CreateControls();
  void SetCopying(bool copying);
  // Refuses outputs that are images our drives read and asks once before existing ones are
  // replaced; true when the rip may go on, with the existing ones in `replaced`.
  bool ClearOutputs(const std::vector<std::string> &outputs, std::vector<std::string> &replaced);
  bool Copy(VolumeFile &source, std::int64_t size, const std::string &path);
  bool Commit(RipOutputs &outputs);
  bool CopyRaw(VolumeFile &source, const DiscToc &toc, const std::vector<TrackForm> &forms,
               const std::string &path);
  // After a finished copy: the verify pass when asked for, as a line of the finished message.
  std::string Verify(DiscSource &source, const std::vector<PlannedTrack> &plan,
                     const std::vector<std::uint32_t> &sectorSums);
  // Draws the progress at most every 50 ms and lets the application's messages in; true when
  // the work is to be given up.
  bool Progress(std::uint64_t done, std::uint64_t total, int track);

  std::function<void(const std::string &)> addImageToList_;
  ServedImages &served_;
  winkit::FontHandle font_;
  int abortFlag_ = 0; // 1 once "放弃压制" was pressed during a copy
  bool copying_ = false;
  DWORD shown_ = 0;
};

// The ripper window while it exists.
extern TFrmISOBuilder *FrmISOBuilder;

} // namespace velmor
