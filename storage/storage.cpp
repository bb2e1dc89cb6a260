// File store state. The operations come with the file commands.
#include "storage/storage.h"

StorageInfo storage = {};
char dir_result[dir_result_len] = {};
