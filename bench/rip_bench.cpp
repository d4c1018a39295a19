// Times one rip through the ripper window, as the user starts it: the drive box on the given
// drive, the image path typed in, "开始压制" pressed. Message boxes are answered at once.
//   velmor_rip_bench D: C:\out.iso
// Prints the seconds from the click to the end of the copy, the image size, and the processor
// seconds the process spent meanwhile (user and system: on a shared machine a steadier figure than
// the wall time).
#include "ripper/FrmISOBuilder.h"
#include "winkit/Application.h"

#include "bench/processor_seconds.h"

#include <chrono>
#include <cstdio>

namespace {

class Answers final : public winkit::DialogService {
public:
  int MessageBox(HWND, const std::string &text, const std::string &, unsigned) override {
    last = text;
    return IDYES;
  }
  bool OpenFiles(HWND, const winkit::FileDialogOptions &, std::vector<std::string> &) override {
    return false;
  }
  bool SaveFile(HWND, const winkit::FileDialogOptions &, std::string &) override { return false; }
  bool PickFolder(HWND, const std::string &, std::string &) override { return false; }
  std::string last;
};

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: velmor_rip_bench DRIVE IMAGE\n");
    return 2;
  }
  winkit::App().Initialize();
  Answers answers;
  winkit::SetDialogs(&answers);
  std::string image;
  velmor::TFrmISOBuilder ripper(nullptr, [&](const std::string &path) { image = path; });
  ripper.ComboBox1.Add(argv[1]);
  ripper.ComboBox1.Select(0);
  ripper.Edit_IsoFileName.SetText(argv[2]);
  ripper.Show();

  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = ProcessorSeconds();
  ripper.btnStart.Click();
  const double cpu = ProcessorSeconds() - cpuStart;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  winkit::SetDialogs(nullptr);
  if (image.empty()) {
    std::fprintf(stderr, "rip failed: %s\n", answers.last.c_str());
    return 1;
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  GetFileAttributesExA(image.c_str(), GetFileExInfoStandard, &data);
  const unsigned long long bytes =
      (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  std::printf("%.3f %llu %.3f\n", took.count(), bytes, cpu);
  return 0;
}
