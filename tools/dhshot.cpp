// dhshot: a screenshot of a simulated display head.
//
//   DISPLAYHEAD_ROOT=DIR dhshot [--as-seen | --layers] OUT.png
//   dhshot --root ROOT [--as-seen | --layers] OUT.png
//
// --root takes what dhview --root and scripts/sim --root take: the run folder, whose device
// folder (ROOT/device) is the daemon's root; a folder without one is taken as the daemon's
// root itself. Writes what a person sees on the panel of the daemon running under DIR: both layers
// composed as the display controller scans them out, turned by its rotator into the panel's
// own size. --as-seen also darkens it by the backlight level (black at 0); --layers writes
// the composed frame unturned, in the layers' size, for debugging. The PNG file carries text
// chunks with the backlight level, the rotation and the time of the composition. Exit status:
// 0 written, 1 no panel under DIR or the file cannot be written, 2 a usage error.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/panel_view.h"
#include "platform/root_path.h"

namespace {

void usage(FILE *out) {
  fprintf(out,
          "usage: DISPLAYHEAD_ROOT=DIR dhshot [--as-seen | --layers] OUT.png\n"
          "       dhshot --root ROOT [--as-seen | --layers] OUT.png\n"
          "\n"
          "  --root ROOT  the run folder of scripts/sim (as dhview --root takes it): the panel\n"
          "               of ROOT/device; a folder without device/ is the daemon's root itself\n"
          "Writes what the simulated panel under DIR shows now as an RGB PNG file, in the\n"
          "panel's own size with the rotator's turn, and prints its size, the backlight level\n"
          "and the rotation. The file's text chunks hold the same and the time it was taken.\n"
          "\n"
          "  --as-seen  darken the picture by the backlight level, as the eye sees it\n"
          "             (black at 0)\n"
          "  --layers   the layers as composed, before the rotator turns them\n"
          "\n"
          "Exit status 1 when DIR holds no panel (the daemon has not opened its display there)\n"
          "or the file cannot be written, 2 on a usage error.\n");
}

enum class View { panel, as_seen, layers };

}  // namespace

int main(int argc, char **argv) {
  View view = View::panel;
  const char *out = nullptr;
  bool chosen = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      usage(stdout);
      return 0;
    }
    if (strcmp(arg, "--root") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        usage(stderr);
        return 2;
      }
      const std::string run_folder = argv[++i];
      struct stat info {};
      const std::string device = run_folder + "/device";
      // Read once, by sandbox_root() below: the device's root is ours to name here.
      setenv("DISPLAYHEAD_ROOT", stat(device.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? device.c_str() : run_folder.c_str(), 1);
    } else if (strcmp(arg, "--as-seen") == 0 || strcmp(arg, "--layers") == 0) {
      if (chosen) {
        fprintf(stderr, "dhshot: --as-seen and --layers exclude each other\n");
        return 2;
      }
      chosen = true;
      view = arg[2] == 'a' ? View::as_seen : View::layers;
    } else if (arg[0] == '-' || arg[0] == '\0' || out != nullptr) {
      usage(stderr);
      return 2;
    } else {
      out = arg;
    }
  }
  if (out == nullptr) {
    usage(stderr);
    return 2;
  }
  const std::string &root = sandbox_root();
  if (root.empty()) {
    fprintf(stderr, "dhshot: give --root ROOT (the sim's run folder) or set DISPLAYHEAD_ROOT to the simulated device's root directory\n");
    return 1;
  }
  PanelPicture picture;
  std::string error;
  bool composed = view == View::layers ? compose_panel(root, picture, error)
                                       : compose_panel_seen(root, picture, error,
                                                            view == View::as_seen);
  if (!composed) {
    fprintf(stderr, "dhshot: %s: %s\n", root.c_str(), error.c_str());
    return 1;
  }
  if (!write_panel_png(picture, out, error)) {
    fprintf(stderr, "dhshot: %s\n", error.c_str());
    return 1;
  }
  const std::string level = picture.backlight < 0 ? "unknown" : std::to_string(picture.backlight);
  printf("%s: %dx%d, backlight %s, rotation %d%s\n", out, picture.width, picture.height, level.c_str(),
         picture.rotation,
         view == View::layers ? " (layers, unturned)" : view == View::as_seen ? " (as seen)" : "");
  return 0;
}
