// libutils2 with nothing inside: reserved memory and the NAL-unit splitter, each call failing
// as the headers describe a failure.
#include "platform/nalu.h"
#include "platform/rmem.h"

int rmem_open() { return -1; }
uint8_t *rmem_alloc(int, uint32_t *, size_t) { return nullptr; }
void rmem_free(int, uint8_t *, uint32_t, size_t) {}
void rmem_close(int) {}

NaluBuffer *nalu_buf_init(size_t) { return nullptr; }
int nalu_buf_write(NaluBuffer *, const uint8_t *, int) { return 0; }
int nalu_buf_read_unit(NaluBuffer *, NaluUnitInfo *, uint8_t *, int) { return 0; }
void nalu_buf_clean(NaluBuffer *) {}
void nalu_buf_free(NaluBuffer *) {}
