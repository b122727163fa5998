// The GLib executor: tasks become idle sources on a main context.

#include <tessaro/c/tessaro_glib.h>

namespace {

// One queued task; the source's destroy notify frees it when it never ran.
struct Posted {
    tessaro_task* task;
};

gboolean runPosted(gpointer data) {
    auto* posted = static_cast<Posted*>(data);
    tessaro_task* task = posted->task;
    posted->task = nullptr;
    tessaro_task_run(task);
    return G_SOURCE_REMOVE;
}

void freePosted(gpointer data) {
    auto* posted = static_cast<Posted*>(data);
    tessaro_task_free(posted->task);
    g_free(posted);
}

bool isOwner(void* user) { return g_main_context_is_owner(static_cast<GMainContext*>(user)) != FALSE; }

void post(tessaro_task* task, void* user) {
    auto* posted = g_new(Posted, 1);
    posted->task = task;
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runPosted, posted, freePosted);
    g_source_attach(source, static_cast<GMainContext*>(user));
    g_source_unref(source);
}

void release(void* user) { g_main_context_unref(static_cast<GMainContext*>(user)); }

}  // namespace

extern "C" tessaro_executor tessaro_glib_executor(GMainContext* context) {
    GMainContext* held = g_main_context_ref(context ? context : g_main_context_default());
    return tessaro_executor{isOwner, post, held, release};
}
