// The C interface used as a C host uses it: against a tessaro-sandbox started for this run, its
// launch URLs handed over with the sandbox's "open" command and its callbacks received by a
// loopback redirect receiver. Every test returns whether it passed and says why on stderr; run
// under ASan with leak detection, which makes every missed free a failure.
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

static bool fail_at(int line, const char* what) {
    fprintf(stderr, "  line %d: %s\n", line, what);
    return false;
}

// Ends the test when `cond` is false.
#define CHECK(cond)                                              \
    do {                                                         \
        if (!(cond)) return fail_at(__LINE__, "failed: " #cond); \
    } while (0)
// Records a failure in `ok` and goes on.
#define ALSO(cond) ok = ((cond) || fail_at(__LINE__, "failed: " #cond)) && ok

// Whether `json` is non-NULL and contains `text`; prints the JSON when not.
static bool has(int line, const char* json, const char* text) {
    if (json && strstr(json, text)) return true;
    fprintf(stderr, "  line %d: %s lacks %s\n", line, json ? json : "(null)", text);
    return false;
}
#define HAS(json, text) CHECK(has(__LINE__, json, text))

static bool has_non_ascii(const char* text) {
    for (; *text; ++text)
        if ((unsigned char)*text >= 0x80) return true;
    return false;
}

// Whether a call's `status` and `error` report `want`: no error for TESSARO_OK, else an error with
// that code, a message (the Chinese text for the kit's error cases), the protocol code `code`
// (NULL: any) only for TESSARO_PROTOCOL, a download URL only for TESSARO_NOT_INSTALLED, and a JSON
// form naming the status. Frees the error.
static bool status_is(int line, const char* call, tessaro_status status, tessaro_error* error, tessaro_status want,
                      const char* code) {
    bool ok = status == want && (want == TESSARO_OK) == (error == NULL);
    if (ok && error) {
        const char* message = tessaro_error_message(error);
        const char* protocol = tessaro_error_protocol_code(error);
        const char* download = tessaro_error_download_url(error);
        char* json = tessaro_error_json(error);
        char name[64];
        snprintf(name, sizeof name, "\"error\":\"%s\"", tessaro_status_name(want));
        ok = tessaro_error_code(error) == want && message[0] != '\0' &&
             (want > TESSARO_CONFLICT || has_non_ascii(message)) &&
             (want == TESSARO_PROTOCOL ? protocol && (!code || strcmp(protocol, code) == 0) : !protocol) &&
             (want == TESSARO_NOT_INSTALLED ? download && strncmp(download, "http", 4) == 0 : !download) &&
             has(line, json, name) && (!protocol || has(line, json, "\"protocol_code\":\""));
        tessaro_free(json);
    }
    if (!ok) {
        fprintf(stderr, "  line %d: %s: got %s (%s; protocol code %s), want %s%s%s\n", line, call,
                tessaro_status_name(status), error ? tessaro_error_message(error) : "no error",
                error && tessaro_error_protocol_code(error) ? tessaro_error_protocol_code(error) : "none",
                tessaro_status_name(want), code ? " " : "", code ? code : "");
    }
    tessaro_error_free(error);
    return ok;
}

// Runs `call`, which sets `err`, and ends the test unless it reports `want`.
#define EXPECT(want, code, call)                                            \
    do {                                                                    \
        err = NULL;                                                         \
        const tessaro_status s_ = (call);                                   \
        if (!status_is(__LINE__, #call, s_, err, want, code)) return false; \
    } while (0)

static void sleep_ms(long ms) {
    const struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&delay, NULL);
}

static double seconds_between(const struct timespec* start, const struct timespec* end) {
    return (double)(end->tv_sec - start->tv_sec) + (double)(end->tv_nsec - start->tv_nsec) / 1e9;
}

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
        g_sandbox = -1;
    }
    if (g_sandbox_out) fclose(g_sandbox_out);
}

// Sets what the simulated user does and how long it takes before reacting.
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
    CHECK(tessaro_loopback_redirect_port(f->redirect) != 0);
    tessaro_client_options* options = tessaro_client_options_new();
    CHECK(options);
    const bool ok = tessaro_client_options_set_store(options, TESSARO_STORE_MEMORY, NULL) == TESSARO_OK &&
                    tessaro_client_options_set_poll_interval(options, 0.05, NULL) == TESSARO_OK &&
                    tessaro_client_options_set_authorize_timeout(options, 30, NULL) == TESSARO_OK &&
                    tessaro_client_options_set_opener(options, open, user, NULL) == TESSARO_OK;
    CHECK(ok);
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

static bool authorize(fixture* f) {
    tessaro_error* err = NULL;
    char* grant = NULL;
    EXPECT(TESSARO_OK, NULL, tessaro_client_authorize(f->client, NULL, &grant, &err));
    const bool ok = has(__LINE__, grant, "\"grant_id\":\"") && has(__LINE__, grant, "\"vaults\":[{\"id\":\"vlt_");
    tessaro_free(grant);
    return ok;
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

// Authorize, pick, get, create, update and revoke, each with its JSON form and secret.
static bool test_item_flow(void) {
    fixture f;
    tessaro_error* err = NULL;
    char* item = NULL;
    char* again = NULL;
    char* json = NULL;
    tessaro_secret* password = NULL;
    tessaro_secret* reread = NULL;
    bool authorized = false;
    CHECK(set_policy("approve", "0"));
    CHECK(fixture_new(&f, open_in_sandbox, NULL));
    EXPECT(TESSARO_OK, NULL, tessaro_client_is_authorized(f.client, &authorized, &err));
    CHECK(!authorized);
    CHECK(authorize(&f));
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
    HAS(again, "\"title\":\"");
    CHECK(strcmp(again, item) == 0);
    CHECK(reread && strcmp(reread->data, password->data) == 0);
    tessaro_free(again);
    tessaro_free_secret(reread);
    tessaro_free_secret(password);

    EXPECT(TESSARO_OK, NULL,
           tessaro_client_create_item(f.client, "login", "{\"title\":\"From C\",\"url\":\"https://c.example\"}",
                                      "C test", NULL, NULL, &json, &password, &err));
    HAS(json, "\"saved_out_of_scope\":false");
    HAS(json, "\"summary\":{\"id\":\"");
    HAS(json, "\"title\":\"From C\"");
    HAS(json, "\"item\":{\"");
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
    CHECK(json_number(item, "revision") == updated);
    tessaro_free(item);

    EXPECT(TESSARO_OK, NULL, tessaro_client_revoke(f.client, NULL, &err));
    EXPECT(TESSARO_NOT_AUTHORIZED, NULL,
           tessaro_client_pick_item(f.client, NULL, NULL, NULL, NULL, &item, &password, &err));
    CHECK(item == NULL && password == NULL);
    EXPECT(TESSARO_OK, NULL, tessaro_client_grant(f.client, &json, &err));
    CHECK(json == NULL);
    bool idle = false;
    EXPECT(TESSARO_OK, NULL, tessaro_client_drain(f.client, 5000, &idle, &err));
    CHECK(idle);
    fixture_free(&f);
    return true;
}

// The user refuses: DENIED with the Chinese text, for an authorization and for a request.
static bool test_denied(void) {
    fixture f;
    tessaro_error* err = NULL;
    char* json = NULL;
    tessaro_secret* password = NULL;
    CHECK(fixture_new(&f, open_in_sandbox, NULL));
    CHECK(set_policy("deny", "0"));
    EXPECT(TESSARO_DENIED, NULL, tessaro_client_authorize(f.client, NULL, &json, &err));
    CHECK(json == NULL);
    CHECK(set_policy("approve", "0"));
    CHECK(authorize(&f));
    CHECK(set_policy("deny", "0"));
    EXPECT(TESSARO_DENIED, NULL,
           tessaro_client_pick_item(f.client, bank_hint, NULL, NULL, NULL, &json, &password, &err));
    CHECK(json == NULL && password == NULL);
    fixture_free(&f);
    return true;
}

typedef struct later_trigger {
    tessaro_cancel* cancel;
    struct timespec at;
} later_trigger;

static void* trigger_later(void* arg) {
    later_trigger* trigger = arg;
    sleep_ms(500);
    clock_gettime(CLOCK_MONOTONIC, &trigger->at);
    tessaro_cancel_trigger(trigger->cancel);
    return NULL;
}

// A pick waiting on a user who never answers ends at once when another thread triggers its cancel.
static bool test_cancel_from_another_thread(void) {
    fixture f;
    tessaro_error* err = NULL;
    char* item = NULL;
    tessaro_secret* password = NULL;
    later_trigger trigger = {tessaro_cancel_new(), {0, 0}};
    pthread_t thread;
    CHECK(trigger.cancel && !tessaro_cancel_is_triggered(trigger.cancel));
    CHECK(set_policy("approve", "0"));
    CHECK(fixture_new(&f, open_in_sandbox, NULL));
    CHECK(authorize(&f));
    CHECK(set_policy("never", "0"));
    CHECK(pthread_create(&thread, NULL, trigger_later, &trigger) == 0);
    err = NULL;
    const tessaro_status status =
        tessaro_client_pick_item(f.client, bank_hint, NULL, NULL, trigger.cancel, &item, &password, &err);
    struct timespec returned;
    clock_gettime(CLOCK_MONOTONIC, &returned);
    pthread_join(thread, NULL);
    const double late = seconds_between(&trigger.at, &returned);
    CHECK(status_is(__LINE__, "pick", status, err, TESSARO_CANCELLED, NULL));
    CHECK(item == NULL && password == NULL);
    CHECK(tessaro_cancel_is_triggered(trigger.cancel));
    if (late > 1.0) fprintf(stderr, "  returned %.2f s after the trigger\n", late);
    CHECK(late < 1.0);
    fixture_free(&f);
    tessaro_cancel_free(trigger.cancel);
    return true;
}

// What the onWaiting callback saw.
typedef struct waits {
    pthread_t main;
    int reports;
    int elsewhere;  // reports on another thread than the main loop's
    int released;
    bool request_seen;
    bool ended;  // the last report was the end of the wait (NULL)
} waits;

static void record_wait(const char* json, void* user) {
    waits* w = user;
    if (!pthread_equal(pthread_self(), w->main)) ++w->elsewhere;
    ++w->reports;
    w->ended = json == NULL;
    if (json && strstr(json, "\"phase\":\"request\"") && strstr(json, "\"message\":\"")) w->request_seen = true;
}

static void release_waits(void* user) { ++((waits*)user)->released; }

typedef struct pick_call {
    tessaro_client* client;
    GMainContext* context;
    tessaro_status status;
    char* item;
    tessaro_secret* password;
    tessaro_error* error;
    atomic_int done;
} pick_call;

static void* run_pick(void* arg) {
    pick_call* call = arg;
    call->status =
        tessaro_client_pick_item(call->client, bank_hint, NULL, NULL, NULL, &call->item, &call->password, &call->error);
    atomic_store(&call->done, 1);
    g_main_context_wakeup(call->context);
    return NULL;
}

// onWaiting reaches a GLib main loop: every report on the loop's thread, the wait's end included.
static bool test_waiting_on_glib_loop(void) {
    fixture f;
    tessaro_error* err = NULL;
    waits w = {pthread_self(), 0, 0, 0, false, false};
    pthread_t thread;
    CHECK(set_policy("approve", "0.3"));
    CHECK(fixture_new(&f, open_in_sandbox, NULL));
    CHECK(authorize(&f));
    GMainContext* context = g_main_context_new();
    CHECK(g_main_context_acquire(context));
    const tessaro_executor executor = tessaro_glib_executor(context);
    EXPECT(TESSARO_OK, NULL, tessaro_client_set_executor(f.client, &executor, &err));
    EXPECT(TESSARO_OK, NULL, tessaro_client_set_on_waiting(f.client, record_wait, &w, release_waits, &err));

    pick_call call = {f.client, context, TESSARO_INTERNAL, NULL, NULL, NULL, 0};
    CHECK(pthread_create(&thread, NULL, run_pick, &call) == 0);
    while (!atomic_load(&call.done))
        g_main_context_iteration(context, TRUE);
    pthread_join(thread, NULL);
    while (g_main_context_pending(context))
        g_main_context_iteration(context, FALSE);
    CHECK(status_is(__LINE__, "pick", call.status, call.error, TESSARO_OK, NULL));
    tessaro_free(call.item);
    tessaro_free_secret(call.password);
    fixture_free(&f);
    g_main_context_release(context);
    g_main_context_unref(context);

    CHECK(w.reports >= 2 && w.request_seen && w.ended);
    CHECK(w.elsewhere == 0);
    CHECK(w.released == 1);
    return true;
}

// Whether a call was refused as TESSARO_INVALID_ARGUMENT with `name` in the message. Frees the error.
static bool names(int line, tessaro_status status, tessaro_error* error, const char* name) {
    const bool ok = has(line, tessaro_error_message(error), name);
    return status_is(line, name, status, error, TESSARO_INVALID_ARGUMENT, NULL) && ok;
}

// Each kind of failure that can be provoked carries its fields: the protocol code, the download URL.
static bool test_error_fields(void) {
    fixture f;
    tessaro_error* err = NULL;
    char* json = NULL;
    tessaro_secret* password = NULL;
    atomic_int opened = 0;
    CHECK(fixture_new(&f, refuse_open, &opened));
    EXPECT(TESSARO_NOT_AUTHORIZED, NULL,
           tessaro_client_pick_item(f.client, NULL, NULL, NULL, NULL, &json, &password, &err));
    EXPECT(TESSARO_PROTOCOL, "empty_patch",
           tessaro_client_update_item(f.client, "itm_bank", "vlt_personal", "{}", NULL, NULL, &json, &err));
    EXPECT(TESSARO_PROTOCOL, "invalid_input",
           tessaro_client_pick_item(f.client, NULL, "\xff", NULL, NULL, &json, &password, &err));
    EXPECT(TESSARO_PROTOCOL, "nothing_pending", tessaro_client_retry_open(f.client, NULL, &err));
    EXPECT(TESSARO_NOT_INSTALLED, NULL, tessaro_client_authorize(f.client, NULL, &json, &err));
    CHECK(json == NULL && atomic_load(&opened) >= 1);
    // A refused argument is named in the message.
#define NAMES(call, name)                                  \
    do {                                                   \
        err = NULL;                                        \
        const tessaro_status s_ = (call);                  \
        if (!names(__LINE__, s_, err, name)) return false; \
    } while (0)
    NAMES(tessaro_client_get_item(f.client, NULL, "v", NULL, &json, &password, &err), "id");
    NAMES(tessaro_client_pick_item(f.client, NULL, NULL, NULL, NULL, NULL, NULL, &err), "item_json");
    NAMES(tessaro_client_pick_item(f.client, "[]", NULL, NULL, NULL, &json, NULL, &err), "hint_json");
    NAMES(tessaro_client_update_item(f.client, "i", "v", "{\"notes\":5}", NULL, NULL, &json, &err), "notes");
    NAMES(tessaro_client_pick_item(NULL, NULL, NULL, NULL, NULL, &json, NULL, &err), "client");
#undef NAMES
    fixture_free(&f);
    return true;
}

// Refused input: a specific status and message, outputs cleared, never a crash.
static bool test_bad_input(void) {
    static char sentinel[] = "unset";
    static tessaro_secret sentinel_secret;
    static const char* const bad_objects[] = {
        "", "[]", "3", "{\"url\"", "{\"nope\":1}", "{\"url\":5}", "{\"title\":[]}", "{\"url\":\"\xff\"}", "null"};
    static const char* const bad_hints[] = {"{\"kind\":\"spaceship\"}", "{\"kind\":1}"};
    static const char* const bad_prefills[] = {"{\"extra_hint\":{\"pin\":3}}", "{\"extra_hint\":[]}",
                                               "{\"username\":\"x\"}", "{\"extra_hint\":{\"pin\":\"\xfe\"}}"};
    static const char* const bad_patches[] = {"{\"notes\":5}", "{\"notes\":\"\xc3\"}", "[]", "notes", "{\"notes\":{}}"};
    fixture f;
    tessaro_error* err = NULL;
    char* out = NULL;
    tessaro_secret* secret = NULL;
    bool flag = true;
    bool ok = true;
    size_t i;
    CHECK(fixture_new(&f, open_in_sandbox, NULL));
    tessaro_client* const c = f.client;
#define BAD(want, code, call)                                       \
    do {                                                            \
        out = sentinel;                                             \
        secret = &sentinel_secret;                                  \
        flag = true;                                                \
        err = NULL;                                                 \
        const tessaro_status s_ = (call);                           \
        ok = status_is(__LINE__, #call, s_, err, want, code) && ok; \
    } while (0)
#define PICK(client, hint, reason, vault) \
    tessaro_client_pick_item(client, hint, reason, vault, NULL, &out, &secret, &err)
    const tessaro_status invalid = TESSARO_INVALID_ARGUMENT;

    BAD(invalid, NULL, PICK(NULL, NULL, NULL, NULL));
    ALSO(out == NULL && secret == NULL);
    out = sentinel;  // without an error asked for
    ALSO(tessaro_client_pick_item(NULL, NULL, NULL, NULL, NULL, &out, &secret, NULL) == invalid && out == NULL);
    BAD(invalid, NULL, tessaro_client_pick_item(c, NULL, NULL, NULL, NULL, NULL, &secret, &err));
    ALSO(secret == NULL);
    BAD(TESSARO_NOT_AUTHORIZED, NULL, tessaro_client_pick_item(c, NULL, NULL, NULL, NULL, &out, NULL, &err));
    ALSO(out == NULL);
    for (i = 0; i < sizeof bad_objects / sizeof *bad_objects; ++i) {
        BAD(invalid, NULL, PICK(c, bad_objects[i], NULL, NULL));
        ALSO(out == NULL && secret == NULL);
        BAD(invalid, NULL, tessaro_client_create_item(c, NULL, bad_objects[i], NULL, NULL, NULL, &out, &secret, &err));
        BAD(invalid, NULL, tessaro_client_update_item(c, "i", "v", bad_objects[i], NULL, NULL, &out, &err));
        ALSO(out == NULL);
    }
    for (i = 0; i < sizeof bad_hints / sizeof *bad_hints; ++i)
        BAD(invalid, NULL, PICK(c, bad_hints[i], NULL, NULL));
    for (i = 0; i < sizeof bad_prefills / sizeof *bad_prefills; ++i)
        BAD(invalid, NULL, tessaro_client_create_item(c, NULL, bad_prefills[i], NULL, NULL, NULL, &out, &secret, &err));
    for (i = 0; i < sizeof bad_patches / sizeof *bad_patches; ++i)
        BAD(invalid, NULL, tessaro_client_update_item(c, "i", "v", bad_patches[i], NULL, NULL, &out, &err));
    // Well-formed input gets past the interface to the missing session; a null member is absent.
    BAD(TESSARO_NOT_AUTHORIZED, NULL, PICK(c, "{\"url\":null,\"title\":\"T\",\"kind\":\"api_key\"}", "", NULL));
    BAD(TESSARO_NOT_AUTHORIZED, NULL,
        tessaro_client_create_item(c, "secure_note", "{\"extra_hint\":{\"pin\":\"1\"}}", NULL, NULL, NULL, &out,
                                   &secret, &err));
    ALSO(out == NULL && secret == NULL);
    BAD(invalid, NULL, tessaro_client_create_item(c, "spaceship", NULL, NULL, NULL, NULL, &out, &secret, &err));
    BAD(invalid, NULL, tessaro_client_create_item(c, NULL, NULL, NULL, NULL, NULL, NULL, &secret, &err));
    // Plain text that is not UTF-8 is refused by the client before anything is sent.
    BAD(TESSARO_PROTOCOL, "invalid_input", PICK(c, NULL, NULL, "v\x80"));
    BAD(TESSARO_PROTOCOL, "invalid_input",
        tessaro_client_get_item(c, "i\xc3", "vlt_personal", NULL, &out, &secret, &err));
    BAD(TESSARO_PROTOCOL, "invalid_input",
        tessaro_client_update_item(c, "i", "v", "{\"notes\":\"x\"}", "\xfe", NULL, &out, &err));
    ALSO(out == NULL);

    BAD(invalid, NULL, tessaro_client_get_item(c, NULL, "v", NULL, &out, &secret, &err));
    BAD(invalid, NULL, tessaro_client_get_item(c, "i", NULL, NULL, &out, &secret, &err));
    BAD(invalid, NULL, tessaro_client_get_item(c, "i", "v", NULL, NULL, &secret, &err));
    ALSO(secret == NULL);
    BAD(invalid, NULL, tessaro_client_update_item(c, NULL, "v", "{\"notes\":\"x\"}", NULL, NULL, &out, &err));
    BAD(invalid, NULL, tessaro_client_update_item(c, "i", NULL, "{\"notes\":\"x\"}", NULL, NULL, &out, &err));
    BAD(invalid, NULL, tessaro_client_update_item(c, "i", "v", NULL, NULL, NULL, &out, &err));
    BAD(invalid, NULL, tessaro_client_update_item(c, "i", "v", "{\"notes\":\"x\"}", NULL, NULL, NULL, &err));
    BAD(invalid, NULL, tessaro_client_authorize(c, NULL, NULL, &err));
    BAD(invalid, NULL, tessaro_client_authorize(NULL, NULL, &out, &err));
    ALSO(out == NULL);
    BAD(invalid, NULL, tessaro_client_grant(c, NULL, &err));
    BAD(invalid, NULL, tessaro_client_is_authorized(c, NULL, &err));
    BAD(invalid, NULL, tessaro_client_is_authorized(NULL, &flag, &err));
    ALSO(!flag);
    BAD(invalid, NULL, tessaro_client_drain(c, 0, NULL, &err));
    BAD(invalid, NULL, tessaro_client_handle_callback(c, NULL, &flag, &err));
    BAD(invalid, NULL, tessaro_client_handle_callback(c, "http://127.0.0.1/x", NULL, &err));
    BAD(TESSARO_OK, NULL, tessaro_client_handle_callback(c, "https://elsewhere.example/cb?code=1", &flag, &err));
    ALSO(!flag);
    BAD(TESSARO_NOT_AUTHORIZED, NULL, tessaro_client_revoke(c, NULL, &err));
    BAD(TESSARO_OK, NULL, tessaro_client_cancel_pending(c, &err));
    BAD(invalid, NULL, tessaro_client_revoke(NULL, NULL, &err));
    BAD(invalid, NULL, tessaro_client_reset(NULL, &err));
    BAD(invalid, NULL, tessaro_client_retry_open(NULL, NULL, &err));
    BAD(invalid, NULL, tessaro_client_cancel_pending(NULL, &err));
    BAD(invalid, NULL, tessaro_client_application_did_become_active(NULL, &err));
    BAD(invalid, NULL, tessaro_client_set_on_waiting(NULL, NULL, NULL, NULL, &err));
    BAD(invalid, NULL, tessaro_client_set_executor(NULL, NULL, &err));
    BAD(invalid, NULL, tessaro_loopback_redirect_set_client(NULL, c, &err));
    fixture_free(&f);

    tessaro_client* made = (tessaro_client*)sentinel;
    const char* const url = "http://127.0.0.1:1/tessaro/callback";
    BAD(invalid, NULL, tessaro_client_new(NULL, "pmc_ctest", url, NULL, &made, &err));
    ALSO(made == NULL);
    BAD(invalid, NULL, tessaro_client_new(g_origin, NULL, url, NULL, &made, &err));
    BAD(invalid, NULL, tessaro_client_new(g_origin, "pmc_ctest", NULL, NULL, &made, &err));
    BAD(invalid, NULL, tessaro_client_new("not a URL", "pmc_ctest", url, NULL, &made, &err));
    BAD(invalid, NULL, tessaro_client_new(g_origin, "pmc_ctest", "callback", NULL, &made, &err));
    BAD(invalid, NULL, tessaro_client_new(g_origin, "pmc_ctest", url, NULL, NULL, &err));
    ALSO(made == NULL);

    tessaro_client_options* options = tessaro_client_options_new();
    CHECK(options);
    BAD(invalid, NULL, tessaro_client_options_set_store(options, (tessaro_store_kind)7, &err));
    BAD(invalid, NULL, tessaro_client_options_set_store(NULL, TESSARO_STORE_MEMORY, &err));
    BAD(invalid, NULL, tessaro_client_options_set_poll_interval(options, -1, &err));
    BAD(invalid, NULL, tessaro_client_options_set_poll_interval(options, NAN, &err));
    BAD(invalid, NULL, tessaro_client_options_set_authorize_timeout(options, INFINITY, &err));
    BAD(TESSARO_OK, NULL, tessaro_client_options_set_poll_interval(options, 0, &err));
    tessaro_client_options_free(options);

    tessaro_loopback_redirect* receiver = NULL;
    static const char* const bad_paths[] = {"tessaro/callback", "/a b", "/x?y", "/x#y", "/x%20"};
    for (i = 0; i < sizeof bad_paths / sizeof *bad_paths; ++i) {
        receiver = (tessaro_loopback_redirect*)sentinel;
        BAD(invalid, NULL, tessaro_loopback_redirect_new(0, bad_paths[i], &receiver, &err));
        ALSO(receiver == NULL);
    }
    BAD(invalid, NULL, tessaro_loopback_redirect_new(0, NULL, NULL, &err));
#undef BAD
#undef PICK
    return ok;
}

// The functions that cannot fail: names, version, frees and readers of NULL, the stop source.
static bool test_plain_functions(void) {
    static const char* const names[] = {"ok",        "not_installed", "network", "protocol",      "not_authorized",
                                        "cancelled", "denied",        "expired", "not_signed_in", "revoked",
                                        "conflict"};
    bool ok = true;
    int status;
    for (status = TESSARO_OK; status <= TESSARO_CONFLICT; ++status)
        ALSO(strcmp(tessaro_status_name((tessaro_status)status), names[status]) == 0);
    ALSO(strcmp(tessaro_status_name(TESSARO_STORE), "store") == 0);
    ALSO(strcmp(tessaro_status_name(TESSARO_CRYPTO), "crypto") == 0);
    ALSO(strcmp(tessaro_status_name(TESSARO_INVALID_ARGUMENT), "invalid_argument") == 0);
    ALSO(strcmp(tessaro_status_name(TESSARO_INTERNAL), "internal") == 0);
    ALSO(strcmp(tessaro_status_name((tessaro_status)11), "unknown") == 0);
    ALSO(strcmp(tessaro_status_name((tessaro_status)99), "unknown") == 0);
    unsigned major, minor, patch;
    char end;
    ALSO(sscanf(tessaro_version(), "%u.%u.%u%c", &major, &minor, &patch, &end) == 3);

    ALSO(strcmp(tessaro_error_message(NULL), "") == 0);
    ALSO(tessaro_error_protocol_code(NULL) == NULL && tessaro_error_download_url(NULL) == NULL);
    ALSO(tessaro_error_json(NULL) == NULL);
    ALSO(tessaro_loopback_redirect_url(NULL) == NULL && tessaro_loopback_redirect_port(NULL) == 0);
    tessaro_error_free(NULL);
    tessaro_free(NULL);
    tessaro_free_secret(NULL);
    tessaro_cancel_free(NULL);
    tessaro_cancel_trigger(NULL);
    tessaro_client_free(NULL);
    tessaro_client_options_free(NULL);
    tessaro_loopback_redirect_free(NULL);
    tessaro_task_free(NULL);

    tessaro_cancel* cancel = tessaro_cancel_new();
    ALSO(cancel && !tessaro_cancel_is_triggered(cancel));
    tessaro_cancel_trigger(cancel);
    tessaro_cancel_trigger(cancel);
    ALSO(tessaro_cancel_is_triggered(cancel));
    tessaro_cancel_free(cancel);
    return ok;
}

int main(void) {
    static const struct {
        const char* name;
        bool (*run)(void);
    } tests[] = {
        {"plain functions", test_plain_functions},
        {"bad input", test_bad_input},
        {"error fields", test_error_fields},
        {"item flow", test_item_flow},
        {"denied", test_denied},
        {"cancel from another thread", test_cancel_from_another_thread},
        {"waiting on a GLib loop", test_waiting_on_glib_loop},
    };
    size_t i;
    int failed = 0;
    if (!start_sandbox()) {
        fprintf(stderr, "cannot start %s\n", TESSARO_SANDBOX_EXE);
        stop_sandbox();
        return 1;
    }
    for (i = 0; i < sizeof tests / sizeof *tests; ++i) {
        const bool passed = tests[i].run();
        fprintf(stderr, "%s %s\n", passed ? "PASS" : "FAIL", tests[i].name);
        failed += !passed;
    }
    stop_sandbox();
    fprintf(stderr, "%d of %zu tests failed\n", failed, sizeof tests / sizeof *tests);
    return failed ? 1 : 0;
}
