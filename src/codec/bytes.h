// Numbers as files store them: little-endian (BMP, TGA, PCX) and big-endian
// (PNG, JPEG), 16 and 32 bits.
#ifndef GFX16_CODEC_BYTES_H
#define GFX16_CODEC_BYTES_H

#include <cstdint>

inline uint32_t le16(const uint8_t *p) { return p[0] | p[1] << 8; }
inline uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
inline uint32_t be16(const uint8_t *p) { return p[0] << 8 | p[1]; }
inline uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

#endif
