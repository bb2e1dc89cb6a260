#include "app/globals.h"

uint8_t *reply_buf = nullptr;
uint8_t *r_buf = nullptr;
uint8_t *uart_r_buf = nullptr;
char *version_info = nullptr;
