// SPDX-License-Identifier: Apache-2.0
#include "change_marker.h"

#include <cstdlib>

#include "change_marker_kernels.h"
#include "simd_kernels.h"

namespace {

void markRowPlain(const uchar* ref, uchar* work, int cols) {
  for (int x = 0; x < cols; x += 2) {
    const uchar* r = ref + 3 * x;
    uchar* w = work + 3 * x;
    // Mean above 16 is the same as a sum of 51 or more.
    const int sum = std::abs(r[0] - w[0]) + std::abs(r[1] - w[1]) + std::abs(r[2] - w[2]);
    if (sum >= 51) {
      w[0] = 0;
      w[1] = 255;
      w[2] = 0;
    }
  }
}

// The SIMD kernels do whole blocks, the plain loop the rest of the row.
template <int (*blocks)(const uchar*, uchar*, int)>
void markRowSimd(const uchar* ref, uchar* work, int cols) {
  const int x = blocks(ref, work, cols);
  markRowPlain(ref + 3 * x, work + 3 * x, cols - x);
}

struct Candidate {
  MarkKernel kernel;
  bool (*runs)();
};

// Slowest first.
const Candidate kCandidates[] = {
    {{"plain", markRowPlain}, [] { return true; }},
    {{simd_baseline::simdName(), markRowSimd<simd_baseline::markRowBlocks>}, cpuHasBaseline},
#ifdef ORVELLE_SIMD_AVX2
    {{simd_avx2::simdName(), markRowSimd<simd_avx2::markRowBlocks>}, cpuHasAvx2},
#endif
};

const MarkKernel& fastestMarkKernel() {
  const MarkKernel* best = &kCandidates[0].kernel;
  for (const Candidate& c : kCandidates)
    if (c.runs()) best = &c.kernel;
  return *best;
}

}  // namespace

std::vector<MarkKernel> markKernels() {
  std::vector<MarkKernel> kernels;
  for (const Candidate& c : kCandidates)
    if (c.runs()) kernels.push_back(c.kernel);
  return kernels;
}

cv::Mat& markChangesWith(MarkRow markRow, const cv::Mat& referenceFrame, cv::Mat& workFrame) {
  if (referenceFrame.type() != CV_8UC3 || workFrame.type() != CV_8UC3 ||
      referenceFrame.size() != workFrame.size())
    return workFrame;
  for (int y = 0; y < workFrame.rows; y += 2)
    markRow(referenceFrame.ptr<uchar>(y), workFrame.ptr<uchar>(y), workFrame.cols);
  return workFrame;
}

const MarkKernel& markChangesKernel() {
  static const MarkKernel& best = fastestMarkKernel();
  return best;
}

cv::Mat& markChanges(const cv::Mat& referenceFrame, cv::Mat& workFrame) {
  return markChangesWith(markChangesKernel().markRow, referenceFrame, workFrame);
}
