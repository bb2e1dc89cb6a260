// The version marker written at every start and the device identity the host asks for.
//
// Both are called by start-up on the main thread; check_dev_version's text is then read by the
// host command loop (0x0A).
#pragma once

// The identity the host reads with the version command: product code, then two 4-digit numbers.
constexpr char device_identity[] = "morvadq7_0005_0020";

// A new 19-byte block holding the identity and its NUL; the caller owns it.
char *check_dev_version();

// Writes the four bytes "1.1" and its NUL over the start of "/usr/data/version", creating the
// file if needed and never truncating it.
void setVersion();
