// dhshot: a screenshot of a simulated display head.
//
//   DISPLAYHEAD_ROOT=DIR dhshot OUT.png
//
// Composes what the panel of the daemon running under DIR shows now (both layers, as the
// display controller would scan them out) and writes it as an RGB PNG file. Exit status:
// 0 written, 1 no panel under DIR or the file cannot be written, 2 a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/panel_view.h"
#include "platform/root_path.h"

namespace {

void usage(FILE *out) {
  fprintf(out,
          "usage: DISPLAYHEAD_ROOT=DIR dhshot OUT.png\n"
          "\n"
          "Writes what the simulated panel under DIR shows now as an RGB PNG file and prints\n"
          "its size and the backlight level. Exit status 1 when DIR holds no panel (the daemon\n"
          "has not opened its display there) or the file cannot be written.\n");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    usage(stderr);
    return 2;
  }
  const std::string &root = sandbox_root();
  if (root.empty()) {
    fprintf(stderr, "dhshot: set DISPLAYHEAD_ROOT to the simulated device's root directory\n");
    return 1;
  }
  PanelPicture picture;
  std::string error;
  if (!compose_panel(root, picture, error)) {
    fprintf(stderr, "dhshot: %s: %s\n", root.c_str(), error.c_str());
    return 1;
  }
  if (!write_panel_png(picture, argv[1], error)) {
    fprintf(stderr, "dhshot: %s\n", error.c_str());
    return 1;
  }
  printf("%s: %dx%d, backlight %d\n", argv[1], picture.width, picture.height, picture.backlight);
  return 0;
}
