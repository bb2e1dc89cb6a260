#include "app/handler_state.h"

FILE *saveFp = nullptr;
int32_t dir_page_offset = 0;
uint8_t use_erase = 0;
uint8_t before_data[7] = {0xA3, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA4};
std::atomic<uint8_t> test_h264{0};
