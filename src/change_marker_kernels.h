// SPDX-License-Identifier: Apache-2.0
#pragma once

// Internal: the row kernels behind markChanges, exposed so tests can run every one of them.

#include <opencv2/core.hpp>
#include <vector>

// Marks the even pixels of one row of `cols` BGR pixels, as markChanges does.
using MarkRow = void (*)(const uchar* reference, uchar* work, int cols);

struct MarkKernel {
  const char* name;
  MarkRow markRow;
};

// The kernels this CPU can run, the plain loop first and the one markChanges uses last.
std::vector<MarkKernel> markKernels();

// The kernel markChanges uses, the fastest this CPU runs.
const MarkKernel& markChangesKernel();

// markChanges with a chosen kernel.
cv::Mat& markChangesWith(MarkRow markRow, const cv::Mat& referenceFrame, cv::Mat& workFrame);
