#include "app/handler_state.h"

FILE *saveFp = nullptr;
std::string upload_path;
int32_t dir_page_offset = 0;
