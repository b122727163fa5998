#ifndef TESSARO_C_TESSARO_GLIB_H
#define TESSARO_C_TESSARO_GLIB_H
/// @file
/// A ::tessaro_executor that delivers on a GLib main context, so that a GTK application receives
/// onWaiting on its main loop.

#include <glib.h>

#include <tessaro/c/tessaro.h>

#ifdef __cplusplus
extern "C" {
#endif

/// An executor for `context` (NULL: the global default context, the one GTK's main loop runs).
/// Its tasks run as idle sources of default priority attached to `context`, in the order posted;
/// its current thread is the thread that owns `context` (the one iterating it). The executor holds
/// a reference to `context`, dropped by its `release` when the client lets it go; a task still
/// queued when the context is freed is freed without running. Pass the result to
/// tessaro_client_set_executor(), which takes the reference over (an executor never passed on is
/// released with `executor.release(executor.user)`). Any thread; never blocks.
TESSARO_EXPORT tessaro_executor tessaro_glib_executor(GMainContext* context);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TESSARO_C_TESSARO_GLIB_H
