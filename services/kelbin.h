// KELBIN: the binary serialisation of values.
//
// A KELBIN file keeps what text loses: series and contexts shared by several values stay shared,
// series keep their head index, words keep their binding to objects and functions, values keep
// their new-line markers, and natives, actions and functions come back whole. One value model has
// two encodings, chosen at encode time and recognised by the flags byte when decoding:
//   - the standard form, every field a little-endian 32-bit word;
//   - the compact form, one-byte tags with LEB128 and zigzag numbers.
// Both start with the 6-byte magic, a version byte and a flags byte (bit 0 compact, bit 1 body
// compressed with the LZ77 format of services/compress.h, bit 2 symbol table present).
//
// Sharing is written as reference paths: every series or context met while encoding is recorded
// with the list of value positions leading to it from the root; a later value with the same node
// is written as that path, and the decoder walks the path through what it has already rebuilt.
// Containers enter their parent before their contents are decoded, so self-containing blocks and
// objects come back as cycles.
//
// Decoding checks every count, offset and index against the bytes left and refuses what the
// language cannot hold with script error kb-invalid-record (argument: byte offset + 1 from the
// data start); data shorter than a header is invalid-data.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kel {

enum class KelbinForm { Standard, Compact };

// Encodes one value as a complete file. The value must be rooted (data stack or Rooted). Walking
// the value allocates nothing from the memory manager; only the final binary! is allocated, and
// it replaces *result (a rooted cell, which may be the value itself).
void kelbin_encode(const Cell* value, Cell* result, KelbinForm form);

// The largest file the encoders write; a larger one raises no-memory.
constexpr size_t KELBIN_ENCODE_LIMIT = 0x7FFFFFFF;

// The same encoding into a plain byte vector (for tools and tests); allocates nothing from the
// memory manager. Raises no-memory once the records written pass `limit` bytes.
std::vector<uint8_t> kelbin_encode_bytes(const Cell* value, KelbinForm form,
                                         size_t limit = KELBIN_ENCODE_LIMIT);

// Decodes a file (either form) and appends its values to the block `out` (which must be
// reachable from a root). The bytes are copied first, so they may lie in a series buffer.
// Returns the index in `out` of the first value appended.
uint32_t kelbin_decode(const uint8_t* data, size_t length, Node out);

// ---- The boot image ------------------------------------------------------------------------------
//
// A compact file (version 1, flags 5) that starts with definitions (a 0xC4 prefix, a set-word and
// the value it gets) and goes on with the root values. Decoding it sets the defined words and
// appends the other values to the root block.

// Decodes the boot image into the root block with the collector held off; returns the index of
// the first root value it appended (also kept in g_kelbin_boot_base). A file that is not a KELBIN
// file (or whose compressed body cannot be unpacked) prints "Error: Not a Kelbin file!" on stderr
// and ends the process with status 1; any other fault raises the decoder's error.
uint32_t kelbin_boot(const uint8_t* image, size_t length);
extern uint32_t g_kelbin_boot_base;

// The embedded boot image and the names of the sources whose blocks it holds, in order
// (services/kelbin-image.cpp).
const uint8_t* kelbin_boot_image(size_t* size, const char* const** names, size_t* count);

// Writes a boot image: each definition (symbol id, value) in order, then every value of the block
// `roots` as one root value. Allocates nothing from the memory manager.
std::vector<uint8_t> kelbin_encode_boot(const std::vector<std::pair<uint32_t, Cell>>& definitions,
                                        const Cell* roots);

} // namespace kel
