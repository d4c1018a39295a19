// Program entry: initialise the application, create the main window, run the message loop. A
// second start hands its images to the running program and ends.
#include "ExecutablePath.h"
#include "FrmMain.h"
#include "SingleInstance.h"
#include "winkit/Application.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::vector<std::string> images = velmor::CommandLineImages();
  const velmor::SingleInstance instance;
  // A second start never opens a window of its own: its images would be inserted twice.
  if (!instance.First())
    return instance.PassToFirst(images) ? 0 : 1;
  auto &app = winkit::App();
  app.Initialize();
  velmor::ImageListStore store(velmor::ExecutableDirectory() + "IsoFile.ini");
  {
    velmor::TFrmMain form(store);
    form.Show(SW_SHOWNORMAL);
    form.FocusImageList();
    form.OpenImages(images, true);
    app.Run();
  } // destroying the window saves the image list
  return 0;
}
