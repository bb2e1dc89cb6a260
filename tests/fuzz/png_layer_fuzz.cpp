// Fuzz target: PNG bytes through decode_png into layer 1, as the host's 0x66 frames go.
//
// Input: one byte choosing the panel (its low 3 bits: 480x480; the narrow 424x960 panel
// upright, which shows a window from column 56, and upside down; 720x1600 with its picture
// area from row 64; 1600x720), then the PNG. The panel is set up again only when the choice
// changes.
//
// Before each picture layer 1 is filled with a pattern. Findings besides what the sanitizers
// catch: pixels written where the picture may not go (left of the narrow panel's window,
// above the picture area) and any change to the memory right behind layer 1, which lies in
// the simulated physical memory where no sanitizer looks.
#include <cstdio>
#include <cstring>
#include <string>

#include "disp/disp.h"
#include "disp/image.h"
#include "platform/sim/phys_mem.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Panel {
  const char *size;
  int rotation;
};
constexpr Panel panels[] = {{"480,480", 0}, {"424,960", 0}, {"424,960", 2}, {"720,1600", 0},
                            {"1600,720", 0}};
constexpr uint8_t pattern = 0x5A;
constexpr size_t guard_size = 4096;

int current_panel = -1;
PhysBlock guard;       // a block the allocator places right behind layer 1's
uint8_t *behind = nullptr;  // from the end of layer 1's rows to the end of the guard
size_t behind_size = 0;

void set_panel(int choice) {
  if (choice == current_panel) return;
  for (const char *layer : {"fb0", "fb1"}) {
    write_fuzz_file(std::string("/sys/class/graphics/") + layer + "/virtual_size",
                    panels[choice].size);
  }
  if (guard.vaddr != nullptr) phys_free(guard.paddr);
  set_rotation(panels[choice].rotation);
  guard = phys_alloc(guard_size);
  if (fb1_info.vaddr == nullptr || guard.vaddr == nullptr) finding("the simulated layers do not open");
  const size_t rows = size_t(fb1_info.line_length) * size_t(fb1_info.yres);
  const size_t block = (rows + phys_page_size - 1) / phys_page_size * phys_page_size;
  if (guard.paddr != fb1_info.paddr + block) finding("the guard block is not behind layer 1");
  behind = fb1_info.vaddr + rows;
  behind_size = block - rows + guard_size;
  memset(behind, pattern, behind_size);
  current_panel = choice;
}

// The rows above the picture area and the columns left of the narrow panel's window.
void check_margins() {
  const int column_offset = (dev_type == 2 && rotation == 0) ? 56 : 0;
  for (int64_t row = 0; row < int64_t(fb1_info.yres); ++row) {
    const uint8_t *line = fb1_info.vaddr + row * fb1_info.line_length;
    const size_t margin = row < dev_y ? size_t(fb1_info.line_length) : size_t(column_offset) * 4;
    for (size_t i = 0; i < margin; ++i) {
      if (line[i] != pattern) finding("a PNG pixel landed outside the picture area");
    }
  }
  for (size_t i = 0; i < behind_size; ++i) {
    if (behind[i] != pattern) finding("a PNG row was written past the end of layer 1");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_root();
  if (init_disp() < 0) finding("the simulated display does not open");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  InputReader in{data, size};
  set_panel(int(in.byte() & 7) % int(std::size(panels)));
  memset(fb1_info.vaddr, pattern, size_t(fb1_info.line_length) * fb1_info.yres);
  decode_png(in.data, int(in.left()));
  check_margins();
  return 0;
}
