// velmor-served.exe: the image server, with the readers the product carries.
#include "image_server_win32.h"
#include "open_image_source.h"

int main(int argc, char **argv) {
  return velmor::server::ImageServerMain(argc, argv, velmor::imagesource::OpenImageSource);
}
