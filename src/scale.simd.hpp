// SPDX-License-Identifier: Apache-2.0
// The scaler's kernels, included by simd_kernels.cpp once per instruction set.

int scaleAcross(const uchar* s, const int* xofs, const short* alpha, int end, short* d) {
  int dx = 0;
#if CV_SIMD128
  // A pixel and its right neighbour as 8 shorts, paired channel by channel with the neighbour
  // and multiplied by the column's two weights, give the pixel's three sums exactly.
  for (; dx < end; ++dx, d += 3) {
    const v_int16x8 p = v_reinterpret_as_s16(v_load_expand(s + xofs[dx]));
    v_int16x8 pairs, unused;
    v_zip(p, v_rotate_right<3>(p), pairs, unused);
    int weights;
    std::memcpy(&weights, alpha + 2 * dx, sizeof weights);
    const v_int32x4 sums = v_dotprod(pairs, v_reinterpret_as_s16(v_setall_s32(weights))) >> 4;
    v_store_low(d, v_pack(sums, sums));
  }
#endif
  return dx;
}

// OpenCV's rounding for 8-bit results; the sums stay within 0 to 255.
int blendRows(const short* r0, const short* r1, short b0, short b1, int width, uchar* d) {
  int x = 0;
#if CV_SIMD
  constexpr int n = v_int16::nlanes;
  const v_int16 w0 = vx_setall_s16(b0), w1 = vx_setall_s16(b1), two = vx_setall_s16(2);
  for (; x + 2 * n <= width; x += 2 * n) {
    v_int16 half[2];
    for (int i = 0; i < 2; ++i)
      half[i] =
          (v_mul_hi(vx_load(r0 + x + n * i), w0) + v_mul_hi(vx_load(r1 + x + n * i), w1) + two) >>
          2;
    v_store(d + x, v_pack_u(half[0], half[1]));
  }
  vx_cleanup();
#endif
  return x;
}
