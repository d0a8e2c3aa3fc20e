// SPDX-License-Identifier: Apache-2.0
// The scaler's kernels, included by simd_kernels.cpp once per instruction set.

// Universal intrinsics have neither a fixed shuffle of bytes nor a multiply-add of bytes;
// where the processor has them, these are its instructions. The weights are never negative
// and never above 64, so the sums of pairs fit 15 bits.
#if CV_AVX2
#define ORVELLE_BYTE_PAIRS 1
static inline v_uint8 shuffleBytes(const v_uint8& v, const v_uint8& order) {
  return v_uint8(_mm256_shuffle_epi8(v.val, order.val));
}
static inline v_int16 mulAddPairs(const v_uint8& v, const v_int8& weights) {
  return v_int16(_mm256_maddubs_epi16(v.val, weights.val));
}
#elif CV_SSSE3
#define ORVELLE_BYTE_PAIRS 1
static inline v_uint8 shuffleBytes(const v_uint8& v, const v_uint8& order) {
  return v_uint8(_mm_shuffle_epi8(v.val, order.val));
}
static inline v_int16 mulAddPairs(const v_uint8& v, const v_int8& weights) {
  return v_int16(_mm_maddubs_epi16(v.val, weights.val));
}
#elif CV_NEON && defined(__aarch64__)
#define ORVELLE_BYTE_PAIRS 1
static inline v_uint8 shuffleBytes(const v_uint8& v, const v_uint8& order) {
  return v_uint8(vqtbl1q_u8(v.val, order.val));
}
static inline v_int16 mulAddPairs(const v_uint8& v, const v_int8& weights) {
  const uint8x16_t w = vreinterpretq_u8_s8(weights.val);
  const uint16x8_t low = vmull_u8(vget_low_u8(v.val), vget_low_u8(w));
  return v_int16(vreinterpretq_s16_u16(vpaddq_u16(low, vmull_high_u8(v.val, w))));
}
#endif

#ifdef ORVELLE_BYTE_PAIRS
// Eight bytes from the pixel of each of the next columns, one column to a 64-bit lane.
static inline v_uint64 loadColumns(const uchar* s, const int* ofs) {
  uint64 q[v_uint64::nlanes];
  for (int i = 0; i < v_uint64::nlanes; ++i) std::memcpy(&q[i], s + ofs[i], sizeof q[i]);
  return vx_load(q);
}

// Each 16 bytes hold two columns' pixels and right neighbours, [B G R B' G' R' . .] twice;
// this pairs each channel with the neighbour's, [B B' G G' R R'] twice, then four zeros.
alignas(32) static const uchar kChannelPairs[32] = {
    0, 3, 1, 4, 2, 5, 8, 11, 9, 12, 10, 13, 0xff, 0xff, 0xff, 0xff,
    0, 3, 1, 4, 2, 5, 8, 11, 9, 12, 10, 13, 0xff, 0xff, 0xff, 0xff,
};
#endif

// Rows taken together share the loads of the offsets and the weights. Each weight w comes as
// 32 * hi + lo; as the lo sums are never negative, (32 * H + L) >> 4 == 2 * H + (L >> 4), the
// numbers the plain loop gets by shifting its 32-bit sums.
template <int rows>
static inline int scaleRows(const uchar* const* s, const int* xofs, const schar* hi,
                            const schar* lo, int end, short* const* d) {
  int dx = 0;
#ifdef ORVELLE_BYTE_PAIRS
  constexpr int n = v_uint64::nlanes;  // columns a vector holds
  static_assert(n <= 4, "the rows have 4 spare shorts for the last store");
  const v_uint8 pairs = vx_load_aligned(kChannelPairs);
  for (; dx + n <= end; dx += n) {
    int ofs[n];
    std::memcpy(ofs, xofs + dx, sizeof ofs);
    const v_int8 h = vx_load(hi + 8 * dx), l = vx_load(lo + 8 * dx);
    for (int r = 0; r < rows; ++r) {
      const v_uint8 p = shuffleBytes(v_reinterpret_as_u8(loadColumns(s[r], ofs)), pairs);
      const v_int16 high = mulAddPairs(p, h);
      const v_int16 sum = high + high + (mulAddPairs(p, l) >> 4);
      // Six shorts of every eight are used; this drops the other two.
      v_store(d[r] + 3 * dx, v_reinterpret_as_s16(v_pack_triplets(v_reinterpret_as_s32(sum))));
    }
  }
  vx_cleanup();
#else
  (void)s, (void)xofs, (void)hi, (void)lo, (void)end, (void)d;
#endif
  return dx;
}

int scaleAcross(int rows, const uchar* const* s, const int* xofs, const schar* hi, const schar* lo,
                int end, short* const* d) {
  return rows == 2 ? scaleRows<2>(s, xofs, hi, lo, end, d) : scaleRows<1>(s, xofs, hi, lo, end, d);
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
