// Base64 (RFC 4648 alphabet, "=" padding, no line breaks), the project's own implementation.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the encoding of `length` bytes and a NUL to `text`, which must hold
// (length + 2) / 3 * 4 + 1 characters. Returns the number of characters (without the NUL).
size_t base64_encode(const uint8_t *data, size_t length, char *text);

// Decodes `length` characters into `bytes` (room for length / 4 * 3 + 1) and writes a NUL after
// what it produced. Returns the number of bytes produced, 0 on rejection: a length not a
// multiple of 4, a character outside the alphabet; an empty text or one starting with "="
// gives 0 too. Decoding stops at the first "=".
size_t base64_decode(const char *text, size_t length, uint8_t *bytes);

// Encodes *size bytes into a new NUL-terminated block; *size becomes the text length.
// Returns 0, or 1 for an empty input (a new 1-byte block holding NUL, *size 0).
int base64_en(const uint8_t *data, char **out_block, size_t *size);

// Decodes *size characters into a new block of exactly the decoded length; *size becomes that
// length. Returns 0, or 1 when nothing is produced (a new 1-byte block holding NUL, *size 0).
int base64_de(const char *text, uint8_t **out_block, size_t *size);
