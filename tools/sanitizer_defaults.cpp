// Built into every program of a sanitizer build, so that ctest and hand runs behave alike.
extern "C" const char* __lsan_default_options() {
  return "print_suppressions=0:suppressions=" ORVELLE_LSAN_SUPPRESSIONS;
}
// The virtual camera is preloaded into the programs the tests run; it is not instrumented.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1"; }
