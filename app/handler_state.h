// State the host command handlers keep between packets.
//
// --- Main thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

// The upload stream opened by 0x26 and written by 0x27; null when no upload is open.
extern FILE *saveFp;
// The device path of that upload, as the host named it.
extern std::string upload_path;
// Where the next 0x63 page starts in dir_result: 0, 512, ..., 9728. Start-up sets it to 0
// once; a reopen of the port does not reset it.
extern int32_t dir_page_offset;
