// Program entry: initialise the application, create the main window, run the message loop.
#include "ExecutablePath.h"
#include "FrmMain.h"
#include "winkit/Application.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  auto &app = winkit::App();
  app.Initialize();
  velmor::ImageListStore store(velmor::ExecutableDirectory() + "IsoFile.ini");
  {
    velmor::TFrmMain form(store);
    form.Show(SW_SHOWNORMAL);
    form.FocusImageList();
    app.Run();
  } // destroying the window saves the image list
  return 0;
}
