// Linked into every test binary of a ThreadSanitizer build, and into the sandbox program the tests
// start as a child.
//
// The Debian builds of GLib, GIO, libsecret and cpp-httplib are not instrumented: ThreadSanitizer
// sees their allocator, memcpy and thread calls but not their own (futex- or atomic-based)
// synchronisation, so hand-offs between their worker threads look like races. The kit's own code
// is instrumented and stays checked.
// - called_from_lib ignores every interceptor the library calls (GDBus hands data between threads
//   on its own).
// - cpp-httplib initialises static regexes behind guards whose fast path is an uninstrumented load,
//   so their later use from another thread looks like a race. Its locks must stay visible, so
//   instead of ignoring its calls, race reports with a frame inside it are dropped. That covers the
//   loopback test servers and the sandbox's request handlers; the kit's client-side threads never
//   run through it and stay fully checked.
// - Qt 6's QMutex, QWaitCondition, event queue and QFuture states are futex- and atomic-based inside
//   uninstrumented libraries: every queued call and future continuation hands data from a worker
//   to the GUI thread unseen (and Qt Test's watchdog thread is torn down the same way). Race
//   reports with a frame inside Qt are dropped, the same way; races between the kit's own threads,
//   with no Qt frame, are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libsecret-1.so.0\n"
           "race:libcpp-httplib.so\n"
           "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n"
           "race:libQt6Network.so\n"
           "race:libQt6Test.so\n";
}
