#include "app/handler_state.h"

FILE *saveFp = nullptr;
int32_t dir_page_offset = 0;
