/* Preloaded only under valgrind. libhwy (reached through OpenCV's FFmpeg) measures its timer
 * with rdtscp while loading, an instruction valgrind cannot run; this answers for it. The
 * value is only used by libhwy's own benchmarking helpers. */
#include <stdint.h>

uint64_t _ZN3hwy8platform15TimerResolutionEv(void) { return 1; }
