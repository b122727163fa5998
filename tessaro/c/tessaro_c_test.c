// The C interface as a C host uses it, against a tessaro-sandbox started for this run: launch URLs
// go to the sandbox's "open" command, callbacks come back through a loopback redirect receiver.
// Each test says on stderr why it failed; run under ASan, whose leak check fails any missed free.
#define _POSIX_C_SOURCE 200809L

#include <tessaro/c/tessaro.h>
#include <tessaro/c/tessaro_glib.h>

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static char g_origin[128];
static pid_t g_sandbox = -1;
static FILE* g_sandbox_out;

// Ends the test when `cond` is false.
#define CHECK(cond)                                                      \
    do {                                                                 \
        if (!(cond)) {                                                   \
            fprintf(stderr, "  line %d: failed: %s\n", __LINE__, #cond); \
            return false;                                                \
        }                                                                \
    } while (0)

// Whether `json` is non-NULL and contains `text`; prints the JSON when not.
static bool has(int line, const char* json, const char* text) {
    if (json && strstr(json, text)) return true;
    fprintf(stderr, "  line %d: %s lacks %s\n", line, json ? json : "(null)", text);
    return false;
}

#define HAS(json, text) CHECK(has(__LINE__, json, text))

// Whether `status` and `error` report `want`: no error for TESSARO_OK, else an error with that code,
// a message (Chinese for the kit's error cases), a protocol code only for TESSARO_PROTOCOL, a
// download URL only for TESSARO_NOT_INSTALLED, and a JSON form naming the status. `detail` (NULL:
// any) is the protocol code of a PROTOCOL error, else a text the message contains. Frees the error.
static bool status_is(int line, const char* call, tessaro_status status, tessaro_error* error, tessaro_status want,
                      const char* detail) {
    bool ok = status == want && (want == TESSARO_OK) == (error == NULL);
    if (ok && error) {
        const char* message = tessaro_error_message(error);
        const char* protocol = tessaro_error_protocol_code(error);
        const char* download = tessaro_error_download_url(error);
        char* json = tessaro_error_json(error);
        char name[64];
        bool non_ascii = false;
        for (const char* c = message; *c; ++c)
            non_ascii = non_ascii || (unsigned char)*c >= 0x80;
        snprintf(name, sizeof name, "\"error\":\"%s\"", tessaro_status_name(want));
        ok = tessaro_error_code(error) == want && message[0] != '\0' && (want > TESSARO_CONFLICT || non_ascii) &&
             (want == TESSARO_PROTOCOL ? protocol && (!detail || strcmp(protocol, detail) == 0)
                                       : !protocol && (!detail || strstr(message, detail))) &&
             (want == TESSARO_NOT_INSTALLED ? download && strncmp(download, "http", 4) == 0 : !download) &&
             has(line, json, name) && (!protocol || has(line, json, "\"protocol_code\":\""));
        tessaro_free(json);
    }
    if (!ok) {
        const char* code = tessaro_error_protocol_code(error);
        fprintf(stderr, "  line %d: %s: got %s %s (%s), want %s %s\n", line, call, tessaro_status_name(status),
                code ? code : "", tessaro_error_message(error), tessaro_status_name(want), detail ? detail : "");
    }
    tessaro_error_free(error);
    return ok;
}

// Runs `call`, which sets `err`, and ends the test unless it reports `want` with `detail`.
#define EXPECT(want, detail, call)                                            \
    do {                                                                      \
        err = NULL;                                                           \
        const tessaro_status s_ = (call);                                     \
        if (!status_is(__LINE__, #call, s_, err, want, detail)) return false; \
    } while (0)

// ---- the sandbox ----

// Runs a sandbox command (its output discarded) to its end: its exit status, -1 when it could not
// run or was killed.
static int run_sandbox(const char** argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, TESSARO_SANDBOX_EXE, &actions, NULL, (char* const*)argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0) return -1;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static bool start_sandbox(void) {
    static const char origin_key[] = "TESSARO_SANDBOX_ORIGIN=";
    static const char client[] = "--client=pmc_ctest=http://127.0.0.1/tessaro/callback";
    // A request ends within seconds, should a cancel not end it.
    const char* argv[] = {TESSARO_SANDBOX_EXE,     "serve", "--quiet", "--no-state-file", "--port=0", "--step=0.1",
                          "--request-lifetime=15", client,  NULL};
    int fds[2];
    if (pipe(fds) != 0) return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    // Forked rather than spawned, to be killed with this process however it ends (a sanitizer's
    // report ends it without running any handler): an orphan would hold ctest's output open.
    const pid_t parent = getpid();
    g_sandbox = fork();
    if (g_sandbox == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent || dup2(fds[1], STDOUT_FILENO) < 0) _exit(127);
        execv(TESSARO_SANDBOX_EXE, (char* const*)argv);
        _exit(127);
    }
    close(fds[1]);
    g_sandbox_out = fdopen(fds[0], "r");
    if (g_sandbox < 0 || !g_sandbox_out) return false;
    char line[256];
    // The client ID line comes last; an early exit ends the output.
    while (fgets(line, sizeof line, g_sandbox_out) && strncmp(line, "TESSARO_SANDBOX_CLIENT_ID=", 26) != 0) {
        if (strncmp(line, origin_key, sizeof origin_key - 1) == 0) {
            snprintf(g_origin, sizeof g_origin, "%s", line + sizeof origin_key - 1);
            g_origin[strcspn(g_origin, "\n")] = '\0';
        }
    }
    return strncmp(g_origin, "http://127.0.0.1:", 17) == 0;
}

static void stop_sandbox(void) {
    if (g_sandbox > 0) {
        kill(g_sandbox, SIGTERM);
        waitpid(g_sandbox, NULL, 0);
    }
    if (g_sandbox_out) fclose(g_sandbox_out);
}

// Sets what the simulated user does and how many seconds it takes.
static bool set_policy(const char* decision, const char* delay) {
    const char* argv[] = {TESSARO_SANDBOX_EXE, "policy", "--decision", decision, "--delay", delay,
                          "--origin",          g_origin, NULL};
    return run_sandbox(argv) == 0;
}

// The client's opener: hands the launch URL to the sandbox.
static int open_in_sandbox(const char* url, void* user) {
    const char* argv[] = {TESSARO_SANDBOX_EXE, "open", url, "--origin", g_origin, NULL};
    (void)user;
    return run_sandbox(argv);
}

// An opener for a desktop without the password-manager application; counts its calls.
static int refuse_open(const char* url, void* user) {
    (void)url;
    atomic_fetch_add((atomic_int*)user, 1);
    return 1;
}

// ---- a client ----

typedef struct fixture {
    tessaro_loopback_redirect* redirect;
    tessaro_client* client;
} fixture;

// A client of the sandbox keeping its session in memory, polling often, opening through `open`.
static bool fixture_new(fixture* f, tessaro_open_fn open, void* user) {
    tessaro_error* err = NULL;
    f->client = NULL;
    EXPECT(TESSARO_OK, NULL, tessaro_loopback_redirect_new(0, NULL, &f->redirect, &err));
    tessaro_client_options* options = tessaro_client_options_new();
    CHECK(tessaro_client_options_set_store(options, TESSARO_STORE_MEMORY, NULL) == TESSARO_OK &&
          tessaro_client_options_set_poll_interval(options, 0.05, NULL) == TESSARO_OK &&
          tessaro_client_options_set_opener(options, open, user, NULL) == TESSARO_OK);
    EXPECT(TESSARO_OK, NULL,
           tessaro_client_new(g_origin, "pmc_ctest", tessaro_loopback_redirect_url(f->redirect), options, &f->client,
                              &err));
    tessaro_client_options_free(options);
    EXPECT(TESSARO_OK, NULL, tessaro_loopback_redirect_set_client(f->redirect, f->client, &err));
    return true;
}

static void fixture_free(fixture* f) {
    tessaro_client_free(f->client);
    tessaro_loopback_redirect_free(f->redirect);
}

// Authorizes `f`'s client, the user approving at once; then sets what the user does to `then`.
static bool authorize(fixture* f, const char* then) {
    tessaro_error* err = NULL;
    char* grant = NULL;
    CHECK(set_policy("approve", "0"));
    EXPECT(TESSARO_OK, NULL, tessaro_client_authorize(f->client, NULL, &grant, &err));
    const bool ok = has(__LINE__, grant, "\"vaults\":[{\"id\":\"vlt_");
    tessaro_free(grant);
    return ok && set_policy(then, "0");
}

// The number after "member": in `json`, -1 without one.
static long long json_number(const char* json, const char* member) {
    char key[64];
    snprintf(key, sizeof key, "\"%s\":", member);
    const char* at = json ? strstr(json, key) : NULL;
    return at ? strtoll(at + strlen(key), NULL, 10) : -1;
}

// ---- the tests ----

static const char bank_hint[] = "{\"url\":\"https://bank.example\"}";

// Authorize, pick, get, create, update and revoke: the JSON forms without the password, which
// comes as a secret.
static bool test_item_flow(void) {
    fixture f;
    tessaro_error* err = NULL;
    char *item = NULL, *again = NULL, *json = NULL;
    tessaro_secret *password = NULL, *reread = NULL;
    bool authorized = true;
    CHECK(fixture_new(&f, open_in_sandbox, NULL));
    EXPECT(TESSARO_OK, NULL, tessaro_client_is_authorized(f.client, &authorized, &err));
    CHECK(!authorized);
    CHECK(authorize(&f, "approve"));
    EXPECT(TESSARO_OK, NULL, tessaro_client_is_authorized(f.client, &authorized, &err));
    CHECK(authorized);
    EXPECT(TESSARO_OK, NULL, tessaro_client_grant(f.client, &json, &err));
    HAS(json, "\"approval_key_fingerprint\":");
    tessaro_free(json);

    EXPECT(TESSARO_OK, NULL,
           tessaro_client_pick_item(f.client, bank_hint, "C test", NULL, NULL, &item, &password, &err));
    HAS(item, "\"id\":\"itm_bank\"");
    HAS(item, "\"password\":null");
    CHECK(password && password->length > 0 && strlen(password->data) == password->length);
    EXPECT(TESSARO_OK, NULL,
           tessaro_client_get_item(f.client, "itm_bank", "vlt_personal", NULL, &again, &reread, &err));
    CHECK(strcmp(again, item) == 0 && reread && strcmp(reread->data, password->data) == 0);
    tessaro_free(again);
    tessaro_free_secret(reread);
    tessaro_free_secret(password);

    EXPECT(TESSARO_OK, NULL,
           tessaro_client_create_item(f.client, "login", "{\"title\":\"From C\",\"url\":\"https://c.example\"}",
                                      "C test", NULL, NULL, &json, &password, &err));
    HAS(json, "\"item\":{\"");
    HAS(json, "\"title\":\"From C\"");
    HAS(json, "\"password\":null");
    CHECK(password && password->length == strlen(password->data));
    tessaro_free(json);
    tessaro_free_secret(password);

    const long long revision = json_number(item, "revision");
    tessaro_free(item);
    EXPECT(TESSARO_OK, NULL,
           tessaro_client_update_item(f.client, "itm_bank", "vlt_personal", "{\"notes\":\"written from C\"}", NULL,
                                      NULL, &json, &err));
    HAS(json, "\"item_id\":\"itm_bank\"");
    const long long updated = json_number(json, "revision");
    tessaro_free(json);
    CHECK(revision >= 0 && updated > revision);
    EXPECT(TESSARO_OK, NULL, tessaro_client_get_item(f.client, "itm_bank", "vlt_personal", NULL, &item, NULL, &err));
    HAS(item, "\"notes\":\"written from C\"");
    tessaro_free(item);

    EXPECT(TESSARO_OK, NULL, tessaro_client_revoke(f.client, NULL, &err));
    EXPECT(TESSARO_NOT_AUTHORIZED, NULL,
           tessaro_client_pick_item(f.client, NULL, NULL, NULL, NULL, &item, &password, &err));
    EXPECT(TESSARO_OK, NULL, tessaro_client_grant(f.client, &json, &err));
    CHECK(json == NULL);
    bool idle = false;
    EXPECT(TESSARO_OK, NULL, tessaro_client_drain(f.client, 5000, &idle, &err));
    CHECK(idle);
    fixture_free(&f);
    return true;
}

// What the onWaiting callback saw.
typedef struct waits {
    pthread_t main;
    int reports, elsewhere, released;  // elsewhere: reports off the main loop's thread
    bool request_seen, ended;          // ended: the last report was the end of the wait (NULL)
} waits;

static void record_wait(const char* json, void* user) {
    waits* w = user;
    if (!pthread_equal(pthread_self(), w->main)) ++w->elsewhere;
    ++w->reports;
    w->ended = json == NULL;
    if (json && strstr(json, "\"phase\":\"request\"") && strstr(json, "\"message\":\"")) w->request_seen = true;
}

static void release_waits(void* user) { ++((waits*)user)->released; }

// A pick on a worker thread, which wakes `context` when it returns.
typedef struct pick_call {
    tessaro_client* client;
    GMainContext* context;
    tessaro_cancel* cancel;
    tessaro_status status;
    char* item;
    tessaro_secret* password;
    tessaro_error* error;
    atomic_int done;
} pick_call;

static void* run_pick(void* arg) {
    pick_call* call = arg;
    call->status = tessaro_client_pick_item(call->client, bank_hint, NULL, NULL, call->cancel, &call->item,
                                            &call->password, &call->error);
    atomic_store(&call->done, 1);
    g_main_context_wakeup(call->context);
    return NULL;
}

// The user refuses an authorization, then a request: DENIED, outputs cleared. Then a pick waits on
// a user who never answers: onWaiting reports reach a GLib main loop on its thread, and the pick
// ends at once when that thread triggers its cancel, the wait's end (NULL) reported last.
static bool test_denied_waiting_cancelled(void) {
    fixture f;
    tessaro_error* err = NULL;
    char* json = NULL;
    tessaro_secret* password = NULL;
    waits w = {pthread_self(), 0, 0, 0, false, false};
    GMainContext* context = g_main_context_new();
    pick_call call = {NULL, context, tessaro_cancel_new(), TESSARO_INTERNAL, NULL, NULL, NULL, 0};
    pthread_t thread;
    struct timespec at, returned;
    CHECK(call.cancel && !tessaro_cancel_is_triggered(call.cancel) && g_main_context_acquire(context));
    CHECK(fixture_new(&f, open_in_sandbox, NULL));
    CHECK(set_policy("deny", "0"));
    EXPECT(TESSARO_DENIED, NULL, tessaro_client_authorize(f.client, NULL, &json, &err));
    CHECK(json == NULL);
    CHECK(authorize(&f, "deny"));
    EXPECT(TESSARO_DENIED, NULL,
           tessaro_client_pick_item(f.client, bank_hint, NULL, NULL, NULL, &json, &password, &err));
    CHECK(json == NULL && password == NULL && set_policy("never", "0"));

    const tessaro_executor executor = tessaro_glib_executor(context);
    EXPECT(TESSARO_OK, NULL, tessaro_client_set_executor(f.client, &executor, &err));
    EXPECT(TESSARO_OK, NULL, tessaro_client_set_on_waiting(f.client, record_wait, &w, release_waits, &err));
    call.client = f.client;
    CHECK(pthread_create(&thread, NULL, run_pick, &call) == 0);
    while (!w.request_seen && !atomic_load(&call.done))
        g_main_context_iteration(context, TRUE);
    clock_gettime(CLOCK_MONOTONIC, &at);
    tessaro_cancel_trigger(call.cancel);
    while (!atomic_load(&call.done))
        g_main_context_iteration(context, TRUE);
    clock_gettime(CLOCK_MONOTONIC, &returned);
    pthread_join(thread, NULL);
    while (g_main_context_pending(context))
        g_main_context_iteration(context, FALSE);
    const double late = (double)(returned.tv_sec - at.tv_sec) + (double)(returned.tv_nsec - at.tv_nsec) / 1e9;
    CHECK(w.request_seen && w.elsewhere == 0);
    CHECK(status_is(__LINE__, "pick", call.status, call.error, TESSARO_CANCELLED, NULL));
    CHECK(call.item == NULL && call.password == NULL);
    if (late > 1.0) fprintf(stderr, "  returned %.2f s after the trigger\n", late);
    CHECK(late < 1.0);
    fixture_free(&f);
    tessaro_cancel_free(call.cancel);
    g_main_context_release(context);
    g_main_context_unref(context);
    CHECK(w.reports >= 2 && w.ended && w.released == 1);
    return true;
}

// Failures short of the user, one per kind: the status, the message and the fields of each, the
// outputs cleared, never a crash. Refused input is INVALID_ARGUMENT naming what was wrong.
static bool test_refused_calls(void) {
    static char sentinel[] = "unset";
    static tessaro_secret sentinel_secret;
    const tessaro_status invalid = TESSARO_INVALID_ARGUMENT;
    fixture f;
    tessaro_error* err = NULL;
    char* out = sentinel;
    tessaro_secret* secret = &sentinel_secret;
    atomic_int opened = 0;
    CHECK(fixture_new(&f, refuse_open, &opened));
    tessaro_client* const c = f.client;
    tessaro_client* made = NULL;
    tessaro_client_options* options = tessaro_client_options_new();
#define PICK(client, hint, vault) tessaro_client_pick_item(client, hint, NULL, vault, NULL, &out, &secret, &err)

    // Without an error asked for, then with one.
    CHECK(tessaro_client_pick_item(NULL, NULL, NULL, NULL, NULL, &out, &secret, NULL) == invalid);
    CHECK(out == NULL && secret == NULL);
    EXPECT(invalid, "client: NULL", PICK(NULL, NULL, NULL));
    EXPECT(invalid, "id: NULL", tessaro_client_get_item(c, NULL, "v", NULL, &out, &secret, &err));
    EXPECT(invalid, "item_json: NULL", tessaro_client_pick_item(c, NULL, NULL, NULL, NULL, NULL, &secret, &err));
    EXPECT(invalid, "hint_json: not UTF-8", PICK(c, "{\"url\":\"\xff\"}", NULL));
    EXPECT(invalid, "hint_json: not a JSON object", PICK(c, "[]", NULL));
    EXPECT(invalid, "\"nope\"",
           tessaro_client_create_item(c, NULL, "{\"nope\":1}", NULL, NULL, NULL, &out, NULL, &err));
    EXPECT(invalid, "notes", tessaro_client_update_item(c, "i", "v", "{\"notes\":5}", NULL, NULL, &out, &err));
    EXPECT(invalid, "kind", tessaro_client_create_item(c, "spaceship", NULL, NULL, NULL, NULL, &out, NULL, &err));
    EXPECT(invalid, "store", tessaro_client_options_set_store(options, (tessaro_store_kind)7, &err));
    EXPECT(invalid, "must be finite", tessaro_client_options_set_poll_interval(options, NAN, &err));
    EXPECT(invalid, "origin", tessaro_client_new("not a URL", "pmc_ctest", g_origin, NULL, &made, &err));
    // Well-formed input gets past the interface to what the client refuses.
    EXPECT(TESSARO_PROTOCOL, "invalid_input", PICK(c, NULL, "v\x80"));
    EXPECT(TESSARO_PROTOCOL, "empty_patch", tessaro_client_update_item(c, "i", "v", "{}", NULL, NULL, &out, &err));
    EXPECT(TESSARO_NOT_INSTALLED, NULL, tessaro_client_authorize(c, NULL, &out, &err));
    CHECK(atomic_load(&opened) >= 1);
#undef PICK
    tessaro_client_options_free(options);
    fixture_free(&f);
    return true;
}

// The functions that cannot fail: names, frees and readers of NULL.
static bool test_plain_functions(void) {
    CHECK(strcmp(tessaro_status_name(TESSARO_INVALID_ARGUMENT), "invalid_argument") == 0);
    CHECK(strcmp(tessaro_status_name((tessaro_status)11), "unknown") == 0);
    CHECK(strcmp(tessaro_error_message(NULL), "") == 0 && tessaro_error_json(NULL) == NULL);
    CHECK(tessaro_error_protocol_code(NULL) == NULL && tessaro_error_download_url(NULL) == NULL);
    CHECK(tessaro_loopback_redirect_url(NULL) == NULL && tessaro_loopback_redirect_port(NULL) == 0);
    tessaro_free_secret(NULL);
    tessaro_cancel_trigger(NULL);
    tessaro_client_free(NULL);
    return true;
}

// Runs `test` and reports it; whether it failed.
static int failed(const char* name, bool (*test)(void)) {
    const bool passed = test();
    fprintf(stderr, "%s %s\n", passed ? "PASS" : "FAIL", name);
    return !passed;
}

int main(void) {
    if (!start_sandbox()) {
        fprintf(stderr, "cannot start %s\n", TESSARO_SANDBOX_EXE);
        stop_sandbox();
        return 1;
    }
    const int failures = failed("plain functions", test_plain_functions) + failed("refused calls", test_refused_calls) +
                         failed("item flow", test_item_flow) +
                         failed("denied, waiting, cancelled", test_denied_waiting_cancelled);
    stop_sandbox();
    return failures ? 1 : 0;
}
