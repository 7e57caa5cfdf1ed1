// The sanitizers' settings for every test binary, built in (the runtimes ask for them at start-up),
// so that they hold however a test is started: from ctest, by hand or under a debugger.
#define PW_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used)) const char*

PW_SANITIZER_HOOK __asan_default_options() {
    return "detect_leaks=1:abort_on_error=0";
}

PW_SANITIZER_HOOK __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

// Leaks inside system libraries that the tests cannot free.
PW_SANITIZER_HOOK __lsan_default_suppressions() {
    return "leak:libfontconfig\n"
           "leak:libdbus\n"
           "leak:libglib\n"
           "leak:libQt6Gui\n"
           "leak:libQt6Core\n"
           "leak:libxkbcommon\n";
}

// Qt's own worker threads (fonts, painting) and the GLib they run on: the distribution's builds are
// not built with ThreadSanitizer, so the locking inside them is invisible and their allocations
// look like races.
PW_SANITIZER_HOOK __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "race:libQt6Core.so.6\n"
           "race:libQt6Gui.so.6\n"
           "race:libglib-2.0.so.0\n";
}
