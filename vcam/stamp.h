// SPDX-License-Identifier: Apache-2.0
// A frame's number drawn into its picture, and read back from the picture on screen: 32
// cells across the full width in rows 45%..55% of the height, two for each of the number's
// 16 bits, most significant first: white then black for a 1, black then white for a 0, so
// that a flat picture or a half-painted window is no number. Cells this wide survive
// bilinear scaling from any camera size to 640 x 480, and black and white survive YUYV. The
// reader samples odd coordinates only (the viewer marks even ones of a 640 x 480 frame) and
// ignores green (the marks' colour, blended into a scaled frame); the band keeps clear of the
// viewer's menu and caption.
#ifndef ORVELLE_VCAM_STAMP_H
#define ORVELLE_VCAM_STAMP_H

#include <stddef.h>

#define ORVELLE_STAMP_CELLS 32

// The band's rows, [*y0, *y1).
static inline void orvelle_stamp_band(int height, int *y0, int *y1) {
  *y0 = height * 45 / 100;
  *y1 = (height * 55 + 99) / 100;
  if (*y1 <= *y0) *y1 = *y0 + 1;
}

// One row of the band for frame k (BGR24, `width` pixels).
static inline void orvelle_stamp_row(unsigned char *row, int width, unsigned k) {
  for (int c = 0; c < ORVELLE_STAMP_CELLS; c++) {
    unsigned bit = (k >> (15 - c / 2)) & 1;
    unsigned char v = bit != (unsigned)(c & 1) ? 255 : 0;
    int x0 = c * width / ORVELLE_STAMP_CELLS, x1 = (c + 1) * width / ORVELLE_STAMP_CELLS;
    for (int x = x0 * 3; x < x1 * 3; x++) row[x] = v;
  }
}

static inline void orvelle_stamp_write(unsigned char *bgr, int width, int height, size_t stride,
                                       unsigned k) {
  int y0, y1;
  orvelle_stamp_band(height, &y0, &y1);
  for (int y = y0; y < y1; y++) orvelle_stamp_row(bgr + (size_t)y * stride, width, k);
}

// The largest odd number <= v, at least 1.
static inline int orvelle_stamp_odd(int v) { return v < 1 ? 1 : (v & 1) ? v : v - 1; }

// Frame number (mod 2^16) in a BGR24 picture, or -1 unless every cell is clearly dark or
// clearly bright at all of its sample points and the two cells of each bit differ.
static inline int orvelle_stamp_read(const unsigned char *bgr, int width, int height,
                                     size_t stride) {
  if (width < 2 * ORVELLE_STAMP_CELLS || height < 4) return -1;
  int y0, y1;
  orvelle_stamp_band(height, &y0, &y1);
  int cy = orvelle_stamp_odd((y0 + y1) / 2), sy = (y1 - y0) / 5 & ~1;
  int sx = width / ORVELLE_STAMP_CELLS / 5 & ~1;
  int k = 0, first = 0;
  for (int c = 0; c < ORVELLE_STAMP_CELLS; c++) {
    int cx = orvelle_stamp_odd((2 * c + 1) * width / (2 * ORVELLE_STAMP_CELLS));
    int dark = 0, bright = 0;
    for (int dy = -sy; dy <= sy; dy += sy ? sy : 1)
      for (int dx = -sx; dx <= sx; dx += sx ? sx : 1) {
        int x = cx + dx, y = cy + dy;
        if (x < 0 || x >= width || y < 0 || y >= height) return -1;
        const unsigned char *p = bgr + (size_t)y * stride + (size_t)x * 3;
        int lo = p[0] < p[2] ? p[0] : p[2], hi = p[0] < p[2] ? p[2] : p[0];
        dark += hi < 64;
        bright += lo > 160;
      }
    int n = (sx ? 3 : 1) * (sy ? 3 : 1);
    if (dark != n && bright != n) return -1;
    if (!(c & 1))
      first = bright == n;
    else if (first == (bright == n))
      return -1;
    else
      k = k << 1 | first;
  }
  return k;
}

#endif
