// SPDX-License-Identifier: Apache-2.0
#include "viewer.h"

int main(int argc, char** argv) { return runViewer(argc, argv); }
