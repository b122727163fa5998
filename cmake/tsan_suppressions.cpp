// Linked into every test binary of a ThreadSanitizer build.
//
// The Debian builds of GLib, GIO, libsecret and cpp-httplib are not instrumented: ThreadSanitizer
// sees their allocator, memcpy and thread calls but not their own (futex- or atomic-based)
// synchronisation, so hand-offs between their worker threads look like races. Reports raised from
// inside those libraries are suppressed; the kit's own code is instrumented and stays checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libsecret-1.so.0\n"
           "called_from_lib:libcpp-httplib.so.0.11\n";
}
