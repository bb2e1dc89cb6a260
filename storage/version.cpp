// Device identity and the version marker. The identity is a fixed text handed out as a heap
// copy that start-up keeps for good; the marker is a four-byte file rewritten at every start
// (not synced: losing it to a power cut only means it is written again at the next start).
#include "storage/version.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/owners.h"
#include "platform/root_path.h"

char *check_dev_version() {
  char *text = static_cast<char *>(malloc(sizeof device_identity));
  if (text != nullptr) memcpy(text, device_identity, sizeof device_identity);
  return text;
}

void setVersion() {
  static constexpr char marker[] = "1.1";
  static_assert(sizeof marker == 4);
  UniqueFd fd(open_regular_file("/usr/data/version", O_RDWR | O_CREAT, 0644));
  if (!fd) {
    puts("setVersion open version err ");
    return;
  }
  (void)!pwrite(fd.get(), marker, sizeof marker, 0);
}
