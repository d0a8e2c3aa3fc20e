// SPDX-License-Identifier: Apache-2.0
// The marker's row kernel, included by simd_kernels.cpp once per instruction set.

#if CV_SIMD
// A block is as many pixels as a vector has bytes, three vectors, starting on an even pixel.
// Each byte gets the saturated sum of its own difference and the next two: at the first byte
// of a pixel that is the pixel's sum, and saturating at 255 keeps "sum >= 51" exact. A pixel
// never straddles a block's end, so the bytes shifted in beyond it may be zeros.

// 0xff on the first byte of every even pixel of a block of up to 32 pixels.
alignas(32) static const uchar kEvenPixelStarts[96] = {
#define ORVELLE_SIX 0xff, 0, 0, 0, 0, 0
    ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX,
    ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX,
    ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX, ORVELLE_SIX,
#undef ORVELLE_SIX
};
#endif

int markRowBlocks(const uchar* ref, uchar* work, int cols) {
  int x = 0;
#if CV_SIMD
  constexpr int n = v_uint8::nlanes;
  const v_uint8 limit = vx_setall_u8(51), zero = vx_setzero_u8();
  for (; x + n <= cols; x += n) {
    const uchar* r = ref + 3 * x;
    uchar* w = work + 3 * x;
    v_uint8 d[4], m[3], any = zero;
    for (int i = 0; i < 3; ++i) d[i] = v_absdiff(vx_load(r + n * i), vx_load(w + n * i));
    d[3] = zero;
    for (int i = 0; i < 3; ++i) {
      // + saturates on 8-bit lanes.
      const v_uint8 s = d[i] + v_extract<1>(d[i], d[i + 1]) + v_extract<2>(d[i], d[i + 1]);
      m[i] = (s >= limit) & vx_load_aligned(kEvenPixelStarts + n * i);
      any |= m[i];
    }
    // Most blocks of a live picture have nothing to mark: leave their memory unwritten.
    if (!v_check_any(any)) continue;
    v_uint8 before = zero;
    for (int i = 0; i < 3; ++i) {
      // A marked pixel's mask moved one byte on is its green byte, two bytes on its red one.
      const v_uint8 green = v_extract<n - 1>(before, m[i]);
      const v_uint8 blueRed = m[i] | v_extract<n - 2>(before, m[i]);
      v_store(w + n * i, (vx_load(w + n * i) & ~blueRed) | green);
      before = m[i];
    }
  }
  vx_cleanup();
#endif
  return x;
}
