// SPDX-License-Identifier: Apache-2.0
#include "viewer.h"

int main() { return runViewer(); }
