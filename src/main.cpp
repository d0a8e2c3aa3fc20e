#include "viewer.h"

int main() { return runViewer(); }
