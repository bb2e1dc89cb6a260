// The host packet cipher: single DES and three-key triple DES, ECB or CBC, with the padding
// byte convention of the host link. The block cipher is mbedtls's DES module; this layer owns
// the choice of mode, the key handling, the padding and who frees what.
//
// Every block handed out through `out_block` is the caller's, released with free().
// No state survives a call; any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>

struct HostCommand;

// Mode numbers, the same for both directions.
enum DesMode : unsigned {
  DES_ECB = 0,   // DES, first 8 key bytes
  DES_CBC = 1,   // DES, first 8 key bytes, 8-byte IV
  DES3_ECB = 2,  // three-key triple DES, key zero-extended to 24 bytes (length 8, 16 or 24)
  DES3_CBC = 3,  // the same in CBC mode with an 8-byte IV
};

// Single DES (modes 0, 1) uses the first 8 key bytes and needs a key length of at least 8;
// triple DES (modes 2, 3) takes a key length of 8, 16 or 24.
//
// Deciphers `size` cipher bytes and strips the padding their last byte announces (0..8).
// Returns 0, or 1 on failure: a size of 0 or not a multiple of 8, a bad key length, a mode
// above 3 (nothing stored through `out_block` for any of these), a padding byte of 9 or more
// (size 0, null stored), or an empty result (the empty block is still handed out).
int des_decode(unsigned mode, const uint8_t *key, uint8_t key_length, const uint8_t *iv,
               const uint8_t *input, uint8_t **out_block, size_t *size);

// Pads `size` plain bytes to the next multiple of 8 (a whole block when already a multiple)
// and enciphers them. `size` becomes the padded length. Returns 0, or 1 for a bad key length or
// a mode above 3 (the output block is handed out all the same, zero-filled).
int des_encode(unsigned mode, const uint8_t *key, uint8_t key_length, const uint8_t *iv,
               const uint8_t *input, uint8_t **out_block, size_t *size);

// Deciphers the first `length` bytes of a host packet with the packet key (DES-CBC, key as IV).
// Returns a new command record of `length` less the padding, or null after printing the
// decode error line; a record shorter than sizeof(HostCommand) is refused the same way.
// The host link always passes des_len (504).
HostCommand *des_decrypt(const uint8_t *packet, size_t length);
