// pelagon2-demo-images DIR: writes a screenshot-like picture and a button-sized
// piece cut from it, so a person can try the image methods without a screen.
//
//   DIR/screen.png    1440x900 at 96 DPI
//   DIR/button.png    64x40, cut from screen.png at (700, 412)

#include <cstdio>
#include <string>

#include "cv/png_output.h"
#include "testkit/synthetic_screen.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pelagon2-demo-images DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const vision_core::RgbImage screen = pelagon2::testing::synthetic_screen(1440, 900, 7);
  const vision_core::RgbImage button = pelagon2::testing::crop(screen, 700, 412, 64, 40);
  for (const auto& [image, name] : {std::pair{&screen, "/screen.png"}, std::pair{&button, "/button.png"}}) {
    const auto written =
        pelagon2::cv::write_png_file(image->pixels, image->width, image->height, pelagon2::cv::PngColor::rgb, 96.0,
                                     dir + name);
    if (!written) {
      std::fprintf(stderr, "pelagon2-demo-images: %s\n", written.error().c_str());
      return 1;
    }
  }
  return 0;
}
