// Linked into every program of the sanitizer build.
// An allocation that cannot be served returns null, as it does in the release build, so the
// out-of-memory messages are checked there too.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1"; }

// Loaded libraries stay mapped until the exit: the decode library's dependencies keep what their
// constructors allocate in their own globals, which the leak check could not see once unmapped.
extern "C" int dlclose(void*) { return 0; }
