// SPDX-License-Identifier: Apache-2.0
// The scaler's kernels, included by simd_kernels.cpp once per instruction set.

#if CV_SIMD
// Eight bytes from the pixel of each of the next columns, one column to a 64-bit lane.
static inline v_uint64 loadColumns(const uchar* s, const int* ofs) {
  uint64 q[v_uint64::nlanes];
  for (int i = 0; i < v_uint64::nlanes; ++i) std::memcpy(&q[i], s + ofs[i], sizeof q[i]);
  return vx_load(q);
}
#endif

// Rows taken together share the loads of the offsets and the weights.
template <int rows>
static inline int scaleRows(const uchar* const* s, const int* xofs, const int* weights, int end,
                            short* const* d) {
  int dx = 0;
#if CV_SIMD
  // A column's pixel and right neighbour, [B G R B' G' R' . .], become the 16-bit pairs
  // [B G] [B' G'] [R .] [R' .], whose low bytes (B B', R R') and high bytes (G G') each make
  // one multiply-add of 16-bit pairs (v_dotprod); the sums fit 16 bits, so the second's go
  // into the first's high halves, giving [B G R .] to drop the fourth from.
  constexpr int n = v_uint64::nlanes;  // columns a vector holds
  static_assert(n <= 4, "the rows have 4 spare shorts for the last store");
  const v_uint8 low = v_reinterpret_as_u8(vx_setall_u64(0xffffffff));
  const v_uint16 lowBytes = vx_setall_u16(0xff);
  const v_int32 lowHalves = vx_setall_s32(0xffff);
  for (; dx + n <= end; dx += n) {
    int ofs[n];
    std::memcpy(ofs, xofs + dx, sizeof ofs);
    const v_int16 w = v_reinterpret_as_s16(vx_load(weights + 2 * dx));
    for (int r = 0; r < rows; ++r) {
      const v_uint64 p = loadColumns(s[r], ofs);
      const v_uint16 split = v_interleave_pairs(
          v_reinterpret_as_u16(v_select(low, v_reinterpret_as_u8(p), v_reinterpret_as_u8(p << 8))));
      const v_int32 br = v_dotprod(v_reinterpret_as_s16(split & lowBytes), w) >> 4;
      const v_int32 g = v_dotprod(v_reinterpret_as_s16(split >> 8), w) << 12;
      v_store(d[r] + 3 * dx, v_pack_triplets(v_reinterpret_as_s16(v_select(lowHalves, br, g))));
    }
  }
  vx_cleanup();
#endif
  return dx;
}

int scaleAcross(const uchar* s, const int* xofs, const int* weights, int end, short* d) {
  return scaleRows<1>(&s, xofs, weights, end, &d);
}

int scaleAcross2(const uchar* s0, const uchar* s1, const int* xofs, const int* weights, int end,
                 short* d0, short* d1) {
  const uchar* s[] = {s0, s1};
  short* d[] = {d0, d1};
  return scaleRows<2>(s, xofs, weights, end, d);
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
