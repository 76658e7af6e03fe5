// image!: a two-dimensional picture treated as a series of pixels in row order.
//
// Cell: word 1 the head index in pixels from the top-left pixel, word 2 the node of the platform
// image record (services/image.h) or 0 for an image without pixels, word 3 the size word (width in
// the low 16 bits, height in the high 16). In the language a pixel is a 4-byte tuple R.G.B.T with
// T = 255 - alpha (0 opaque); the views of a whole image are `rgb` (3 bytes a pixel), `alpha` (T,
// one byte a pixel) and `argb` (the stored bytes B, G, R, A).
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstddef>
#include <cstdint>

namespace kel {

inline uint32_t image_width(const Cell* c) { return c->data3 & 0xFFFF; }
inline uint32_t image_height(const Cell* c) { return c->data3 >> 16; }
inline uint32_t image_pixel_count(const Cell* c) { return c->data2 ? image_width(c) * image_height(c) : 0; }

// The cell becomes an image! at index 0 over the record (0: an empty image of size 0).
Cell* image_set(Cell* cell, Node record);
// The pixel word as a 4-byte tuple R.G.B.T, and back (a 3-byte tuple is opaque).
Cell image_pixel_tuple(uint32_t pixel);
uint32_t image_tuple_pixel(const Cell* tuple);
// The pixel at an absolute index as a tuple, none at width × height.
Cell image_get_pixel(const Cell* image, uint32_t index);

// poke at a position that is an integer! or pair!: out-of-range outside the picture, invalid-arg
// for a value other than a tuple!; the image receives the value.
void image_poke_at(Cell* image, const Cell* position, const Cell* value);

// Whether the bytes of the binary from its index start with a PNG, JPEG, BMP, GIF or TIFF
// signature.
bool image_signature_q(const Cell* binary);
// Bytes decoded into result: none without a known signature; undecodable bytes raise access
// bad-media. result lies on the data stack or in a Rooted slot.
void image_decode(const Cell* binary, Cell* result);
// A file (file! or string! path) decoded into result; failure raises access cannot-open.
void image_load_file(Cell* result, const Cell* file);
// The image encoded as a binary! into result (format 0 BMP, 1 PNG, 2 GIF, 3 JPEG, 4 TIFF); an
// image of size 0 raises access bad-media. False (result unchanged) for an unknown format.
bool image_encode(const Cell* image, Cell* result, int32_t format);
// A new image scaled by nearest neighbour into result.
void image_resize(const Cell* image, int32_t width, int32_t height, Cell* result);

// The views: mode 0 one T byte a pixel, 1 R, G, B, 2 the stored B, G, R, A; result a new binary!.
void image_to_binary(const Cell* image, int32_t mode, Cell* result);
// Writes every pixel from a binary!, tuple! or integer! in one of those modes.
void image_from_binary(Cell* image, const Cell* value, int32_t mode);

// Position arithmetic of at (one_based), pick and poke (one_based) and skip: the new head index,
// clipped to 0 .. width × height; out_of_range (when given) is set for a position outside the
// picture.
uint32_t image_offset_index(const Cell* image, const Cell* position, bool one_based, bool* out_of_range);

} // namespace kel
