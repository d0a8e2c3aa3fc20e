// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <opencv2/core.hpp>

// Paints pure green into `workFrame` at every even (x, y) where the truncated mean of the
// three channel differences to `referenceFrame` exceeds 16. Both must be 8-bit BGR images of
// the same size; anything else leaves `workFrame` untouched. Returns `workFrame`.
cv::Mat& markChanges(const cv::Mat& referenceFrame, cv::Mat& workFrame);
