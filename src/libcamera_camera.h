// SPDX-License-Identifier: Apache-2.0
#pragma once

// Cameras behind libcamera: those with a media graph and an image pipeline (Raspberry Pi
// camera modules, MIPI laptop cameras, the kernel's vimc) that plain V4L2 capture cannot show,
// and USB webcams once more.

#include <memory>
#include <string>
#include <vector>

#include "camera.h"

// Opens and starts libcamera's camera `id`, or its first where `id` is empty, asking for
// 640 x 480. Null where libcamera has no such camera (`why` left empty) or where the camera
// cannot be used (`why` says why).
std::unique_ptr<Camera> openLibcamera(const std::string& id, std::string& why);

// libcamera's cameras as `orvelle --list` prints them: ID, a tab, the model.
std::vector<std::string> listLibcameraCameras();
