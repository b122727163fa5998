#ifndef TESSARO_C_TESSARO_H
#define TESSARO_C_TESSARO_H
/// @file
/// The kit's C interface: the client, cancellation, the loopback redirect receiver, errors and
/// secrets, for hosts written in C or in any language that calls C (Python's ctypes, Rust, Go).
///
/// Conventions, which hold for every function below unless it says otherwise:
/// - Every function returns a ::tessaro_status: ::TESSARO_OK (0) on success, otherwise the kind of
///   failure. When `error` is not NULL, `*error` is set: NULL on success, otherwise a new error
///   object that the caller frees with tessaro_error_free(). No C++ exception ever leaves a
///   function, also not on memory exhaustion (::TESSARO_INTERNAL).
/// - Text goes in and out as NUL-terminated UTF-8. Records travel as JSON text (an object); their
///   forms are listed in the API reference's JSON section and in docs/integrating.md. An item's
///   password never travels in JSON: it comes as a separate ::tessaro_secret.
/// - Output parameters are set on every return: to the result on success, to NULL (or 0/false) on
///   failure. Every returned `char*` belongs to the caller and is freed with tessaro_free(); every
///   returned ::tessaro_secret with tessaro_free_secret(). Input strings are only read during the
///   call.
/// - A NULL handle, a NULL required string or output pointer, or JSON text that is malformed, not
///   an object, or has an unknown member or a member of the wrong type, is ::TESSARO_INVALID_ARGUMENT
///   (the message names the parameter), before anything is read or sent.
/// - Blocking functions (marked "Blocks") wait on the store, the network and the user. Call them on
///   a worker thread, never on a GUI thread. Each takes an optional ::tessaro_cancel (NULL: none):
///   triggering it from any thread ends the call at once with ::TESSARO_CANCELLED, whichever step
///   it was in.
/// - A ::tessaro_client may be used from any thread, by several at once; only tessaro_client_free()
///   must not run while another call on the same client is running.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <tessaro/sdk_export.hpp>

#ifdef __cplusplus
extern "C" {
#endif

/// What a call ended with. The values are stable: new ones may be added, none will change.
typedef enum tessaro_status {
    TESSARO_OK = 0,              ///< success
    TESSARO_NOT_INSTALLED = 1,   ///< nothing can open the password-manager application (see the download URL)
    TESSARO_NETWORK = 2,         ///< the server could not be reached
    TESSARO_PROTOCOL = 3,        ///< an answer outside the protocol, or input the kit refuses; see the protocol code
    TESSARO_NOT_AUTHORIZED = 4,  ///< no grant is stored: authorize first
    TESSARO_CANCELLED = 5,  ///< cancelled by the host (a ::tessaro_cancel, tessaro_client_cancel_pending) or the user
    TESSARO_DENIED = 6,     ///< the user refused in the password-manager application
    TESSARO_EXPIRED = 7,    ///< the request or authorization ran out of time
    TESSARO_NOT_SIGNED_IN = 8,      ///< the user is not signed in to the password-manager application
    TESSARO_REVOKED = 9,            ///< the grant was revoked: authorize again
    TESSARO_CONFLICT = 10,          ///< the item changed since it was read: read it again and retry
    TESSARO_STORE = 20,             ///< the secret store failed (locked, unavailable, prompt dismissed, ...)
    TESSARO_CRYPTO = 21,            ///< a stored key or a sealed value could not be used
    TESSARO_INVALID_ARGUMENT = 22,  ///< a NULL, malformed JSON, or a value out of range, refused at this interface
    TESSARO_INTERNAL = 23,          ///< an unexpected failure inside the kit, memory exhaustion included
} tessaro_status;

/// The short name of `status`: "ok", "not_installed", "network", "protocol", "not_authorized",
/// "cancelled", "denied", "expired", "not_signed_in", "revoked", "conflict", "store", "crypto",
/// "invalid_argument", "internal"; "unknown" for any other value. The names of the kit's error
/// cases are the "error" member of the JSON error form. A static string: never freed. Any thread;
/// never blocks.
TESSARO_EXPORT const char* tessaro_status_name(tessaro_status status);

/// The kit's version, "MAJOR.MINOR.PATCH". A static string: never freed. Any thread; never blocks.
TESSARO_EXPORT const char* tessaro_version(void);

/// @name Memory
/// @{

/// Frees a string the kit returned (NULL is allowed). Any thread; never blocks.
TESSARO_EXPORT void tessaro_free(void* text);

/// An item's password, handed over outside the JSON text so that a binding can copy it into memory
/// it can wipe. `data` holds `length` bytes of UTF-8 followed by a NUL byte. Owned by the caller
/// and freed with tessaro_free_secret(), which zeroes the bytes first.
typedef struct tessaro_secret {
    char* data;     ///< the password's bytes, NUL-terminated
    size_t length;  ///< the number of bytes before the NUL
} tessaro_secret;

/// Zeroes a secret's bytes, then frees it (NULL is allowed). Any thread; never blocks.
TESSARO_EXPORT void tessaro_free_secret(tessaro_secret* secret);

/// @}
/// @name Errors
/// @{

/// What a failed call reports when the caller asked for it: the status, a message, and the
/// protocol code and download URL where the failure has one. Opaque; read with the functions
/// below, freed with tessaro_error_free(). Immutable: may be read from any thread.
typedef struct tessaro_error tessaro_error;

/// The status the failed call returned.
TESSARO_EXPORT tessaro_status tessaro_error_code(const tessaro_error* error);
/// The message to show: for the kit's error cases (::TESSARO_NOT_INSTALLED to ::TESSARO_CONFLICT)
/// the Chinese text of the case; for the others a description for the developer. Owned by the
/// error; valid until it is freed. Never NULL (an empty text for a NULL error).
TESSARO_EXPORT const char* tessaro_error_message(const tessaro_error* error);
/// The protocol code of a ::TESSARO_PROTOCOL error ("invalid_input", "empty_patch", ...); NULL
/// for any other status. Owned by the error.
TESSARO_EXPORT const char* tessaro_error_protocol_code(const tessaro_error* error);
/// Where the password-manager application can be obtained, for ::TESSARO_NOT_INSTALLED; NULL
/// otherwise. Owned by the error.
TESSARO_EXPORT const char* tessaro_error_download_url(const tessaro_error* error);
/// The error as one JSON object: {"error", "message", "protocol_code"?, "download_url"?}, the same
/// form the tessaro command prints with --json. Freed with tessaro_free(); NULL for a NULL error
/// or when memory is exhausted.
TESSARO_EXPORT char* tessaro_error_json(const tessaro_error* error);
/// Frees an error (NULL is allowed).
TESSARO_EXPORT void tessaro_error_free(tessaro_error* error);

/// @}
/// @name Cancellation
/// @{

/// A stop source for one or more blocking calls. Triggered once, it stays triggered; use a new one
/// for the next call. Thread-safe: tessaro_cancel_trigger() may be called from any thread while
/// calls that were given it are running.
typedef struct tessaro_cancel tessaro_cancel;

/// A new, untriggered stop source, or NULL when memory is exhausted. Free it with
/// tessaro_cancel_free().
TESSARO_EXPORT tessaro_cancel* tessaro_cancel_new(void);
/// Requests the stop: every call given `cancel` ends with ::TESSARO_CANCELLED (a request's server
/// is told in the background). Any thread; never blocks. NULL is ignored.
TESSARO_EXPORT void tessaro_cancel_trigger(tessaro_cancel* cancel);
/// Whether tessaro_cancel_trigger() was called. Any thread; never blocks.
TESSARO_EXPORT bool tessaro_cancel_is_triggered(const tessaro_cancel* cancel);
/// Frees a stop source (NULL is allowed). No call that was given it may still be running.
TESSARO_EXPORT void tessaro_cancel_free(tessaro_cancel* cancel);

/// @}
/// @name Executors
/// @{

/// A callback queued on an executor. The executor runs it exactly once with tessaro_task_run(),
/// or, when it can never run it (its loop is gone), frees it with tessaro_task_free().
typedef struct tessaro_task tessaro_task;

/// Runs a queued callback, then frees it. Call it on the executor's thread.
TESSARO_EXPORT void tessaro_task_run(tessaro_task* task);
/// Frees a queued callback without running it (NULL is allowed).
TESSARO_EXPORT void tessaro_task_free(tessaro_task* task);

/// Where the client delivers onWaiting reports: a host's main loop or any queue of its own. Both
/// functions may be called from any thread, several at once, and must neither block nor fail.
/// tessaro_glib_executor() (in tessaro/c/tessaro_glib.h) makes one for a GLib main context.
typedef struct tessaro_executor {
    /// Whether the calling thread is the executor's own thread.
    bool (*is_current)(void* user);
    /// Queues `task` to run on the executor's thread and returns without waiting for it.
    void (*post)(tessaro_task* task, void* user);
    /// Passed to both functions.
    void* user;
    /// Called once with `user` when the client no longer uses the executor; may be NULL.
    void (*release)(void* user);
} tessaro_executor;

/// @}
/// @name The client
/// @{

/// The client of one host application: authorization, the stored session, item requests. Opaque;
/// made with tessaro_client_new(), freed with tessaro_client_free().
typedef struct tessaro_client tessaro_client;

/// Where a client keeps its session.
typedef enum tessaro_store_kind {
    TESSARO_STORE_DESKTOP = 0,  ///< the desktop's secret store (the Secret Service), for the client ID: the default
    TESSARO_STORE_MEMORY = 1,   ///< memory of this client only, gone when it is freed (for tests and one-shot tools)
} tessaro_store_kind;

/// Opens a tessaro:// URL in the password-manager application, in place of the desktop's handler
/// (for instance through a sandbox's "open" command). Called on a background thread of the client
/// (a launch does not hold up the operation that asked for it), possibly for two launches at once;
/// returns 0 when the opening began, anything else for "nothing could open it"
/// (::TESSARO_NOT_INSTALLED).
typedef int (*tessaro_open_fn)(const char* url, void* user);

/// How tessaro_client_new() builds a client, besides its configuration. Opaque; every setting has
/// the default a desktop host wants. Not synchronised: fill it on one thread.
typedef struct tessaro_client_options tessaro_client_options;

/// New options with every default, or NULL when memory is exhausted. Freed with
/// tessaro_client_options_free().
TESSARO_EXPORT tessaro_client_options* tessaro_client_options_new(void);
/// Frees options (NULL is allowed). A client built from them does not need them afterwards.
TESSARO_EXPORT void tessaro_client_options_free(tessaro_client_options* options);
/// Where the session lives (default ::TESSARO_STORE_DESKTOP). ::TESSARO_INVALID_ARGUMENT for a
/// value outside ::tessaro_store_kind.
TESSARO_EXPORT tessaro_status tessaro_client_options_set_store(tessaro_client_options* options,
                                                               tessaro_store_kind store, tessaro_error** error);
/// Seconds between two status reads of a request (default 2; values below 0.01 wait 0.01).
/// ::TESSARO_INVALID_ARGUMENT when negative or not finite.
TESSARO_EXPORT tessaro_status tessaro_client_options_set_poll_interval(tessaro_client_options* options, double seconds,
                                                                       tessaro_error** error);
/// Seconds the user has to answer an authorization (default 600). ::TESSARO_INVALID_ARGUMENT when
/// negative or not finite.
TESSARO_EXPORT tessaro_status tessaro_client_options_set_authorize_timeout(tessaro_client_options* options,
                                                                           double seconds, tessaro_error** error);
/// Opens tessaro:// URLs with `open` instead of the desktop's handler (NULL: the desktop's
/// handler again). `user` is passed to it and must stay valid until tessaro_client_free() of every
/// client built with these options has returned.
TESSARO_EXPORT tessaro_status tessaro_client_options_set_opener(tessaro_client_options* options, tessaro_open_fn open,
                                                                void* user, tessaro_error** error);

/// Builds a client for the server at `origin` (an https URL, or http on a loopback address), the
/// host's `client_id` and its callback `redirect_url`; `options` may be NULL (every default). Reads
/// nothing from the store and sends nothing. `*client` is the new client, freed with
/// tessaro_client_free(). ::TESSARO_INVALID_ARGUMENT for a NULL or a text that is not an absolute
/// URL. Any thread; blocks only on building the desktop's handlers (milliseconds).
TESSARO_EXPORT tessaro_status tessaro_client_new(const char* origin, const char* client_id, const char* redirect_url,
                                                 const tessaro_client_options* options, tessaro_client** client,
                                                 tessaro_error** error);
/// Frees a client (NULL is allowed). Blocks: waits for the client's background work (a launch in
/// progress, server cancels for up to 3 seconds, a token request in flight, bounded by the
/// transport's timeout); no other call on the client may be running. The client lets go of its
/// executor and onWaiting callback here: their release functions run now, or, for what a task
/// still queued on the executor holds, when that task runs or is freed.
TESSARO_EXPORT void tessaro_client_free(tessaro_client* client);

/// Reports a wait while the user acts in the password-manager application: `waiting_json` is the
/// waiting JSON form ({"phase", "op"?, "request_id"?, "waiting_on"?, "waiting_reason"?,
/// "expires_at"?, "message"}), NULL when the wait ended. The text is valid during the call only.
/// Must neither block nor call back into the client's blocking functions.
typedef void (*tessaro_waiting_fn)(const char* waiting_json, void* user);

/// Sets the onWaiting callback (`on_waiting` NULL: no reports), with `user` passed to it and
/// `release` (may be NULL) called once with `user` when the callback is replaced or the client
/// freed. Delivered through the executor when one is set, else on the reporting thread. Any
/// thread; blocks only on an internal lock.
TESSARO_EXPORT tessaro_status tessaro_client_set_on_waiting(tessaro_client* client, tessaro_waiting_fn on_waiting,
                                                            void* user, void (*release)(void* user),
                                                            tessaro_error** error);
/// Sets the executor onWaiting is delivered through (`executor` NULL: the reporting thread). The
/// structure is copied; its `release` runs when it is replaced or the client freed. Any thread;
/// blocks only on an internal lock.
TESSARO_EXPORT tessaro_status tessaro_client_set_executor(tessaro_client* client, const tessaro_executor* executor,
                                                          tessaro_error** error);

/// Tells the client the host became the active application (its window was activated), so a
/// request waiting for the user reads its status at once. A GTK host calls it from its window's
/// "notify::is-active" signal. Any thread; blocks while the client's handlers run (briefly).
TESSARO_EXPORT tessaro_status tessaro_client_application_did_become_active(tessaro_client* client,
                                                                           tessaro_error** error);

/// Whether a session with a token is stored (`*authorized`). A store failure counts as none.
/// A worker thread: blocks on the store (which may show an unlock prompt); not cancellable.
TESSARO_EXPORT tessaro_status tessaro_client_is_authorized(tessaro_client* client, bool* authorized,
                                                           tessaro_error** error);
/// The stored grant as the grant JSON form ({"grant_id", "account_id", "vaults": [{"id", "name",
/// "kind", "mode"}], "approval_key_fingerprint"}), or `*grant_json` NULL when none is stored (a
/// store failure counts as none). A worker thread: blocks on the store; not cancellable.
TESSARO_EXPORT tessaro_status tessaro_client_grant(tessaro_client* client, char** grant_json, tessaro_error** error);
/// Wipes the stored session, whatever grant it holds; a store failure is ignored. A worker thread:
/// blocks on the store (up to a few seconds behind another write of the session); not cancellable.
TESSARO_EXPORT tessaro_status tessaro_client_reset(tessaro_client* client, tessaro_error** error);

/// Authorizes: opens the password-manager application, waits for the callback (up to the
/// authorization timeout), exchanges the code and stores the new session, replacing any earlier
/// one; a failure keeps the earlier one. `*grant_json` is the new grant (grant JSON form). A worker
/// thread: blocks on the user, the network and the store. A triggered `cancel` ends it with
/// ::TESSARO_CANCELLED at once; a grant the server issued meanwhile is revoked, never stored. Statuses: NOT_INSTALLED, EXPIRED, CANCELLED, DENIED,
/// NOT_SIGNED_IN, PROTOCOL, REVOKED, NETWORK, STORE, CRYPTO.
TESSARO_EXPORT tessaro_status tessaro_client_authorize(tessaro_client* client, tessaro_cancel* cancel,
                                                       char** grant_json, tessaro_error** error);
/// Opens the current flow's URL again and makes a request's wait read its status at once.
/// ::TESSARO_PROTOCOL "nothing_pending" without a flow. Any thread but a GUI thread: blocks on
/// opening the application; a triggered `cancel` before the opening began ends it with
/// ::TESSARO_CANCELLED.
TESSARO_EXPORT tessaro_status tessaro_client_retry_open(tessaro_client* client, tessaro_cancel* cancel,
                                                        tessaro_error** error);
/// Ends the current flow's wait with ::TESSARO_CANCELLED; nothing when there is none. Any thread;
/// does not block.
TESSARO_EXPORT tessaro_status tessaro_client_cancel_pending(tessaro_client* client, tessaro_error** error);
/// Revokes the grant on the server and wipes the stored session whatever the server says.
/// ::TESSARO_NOT_AUTHORIZED without a session; NETWORK, PROTOCOL or CANCELLED after the wipe.
/// A worker thread: blocks on the store and the network. A triggered `cancel` ends the server call
/// with ::TESSARO_CANCELLED; the session is wiped all the same.
TESSARO_EXPORT tessaro_status tessaro_client_revoke(tessaro_client* client, tessaro_cancel* cancel,
                                                    tessaro_error** error);

/// Lets the user pick an item. `hint_json` (may be NULL) is the hint form {"url"?, "title"?,
/// "kind"?}; `reason` (may be NULL: none; an empty text is shown) is shown to the user; `vault_id`
/// NULL: any granted vault. `*item_json` is the item form ({"id", "revision", "title", "username",
/// "password": null, "url", "notes", "kind", "kind_raw", "extra", "updated_at"}); `*password`
/// (when `password` is not NULL) the item's password. A worker thread: blocks on the store, the
/// network and the user (up to the request's expiry). A triggered `cancel` ends it with
/// ::TESSARO_CANCELLED at once, whichever step it is in; the server is told in the background. Statuses: NOT_AUTHORIZED, NOT_INSTALLED, DENIED, CANCELLED, EXPIRED, NOT_SIGNED_IN,
/// REVOKED, NETWORK, PROTOCOL ("invalid_input" for text that is not UTF-8, "result_missing", ...),
/// STORE.
TESSARO_EXPORT tessaro_status tessaro_client_pick_item(tessaro_client* client, const char* hint_json,
                                                       const char* reason, const char* vault_id, tessaro_cancel* cancel,
                                                       char** item_json, tessaro_secret** password,
                                                       tessaro_error** error);
/// Reads a known item `id` of vault `vault_id` (both required). Results, blocking and statuses as
/// tessaro_client_pick_item().
TESSARO_EXPORT tessaro_status tessaro_client_get_item(tessaro_client* client, const char* id, const char* vault_id,
                                                      tessaro_cancel* cancel, char** item_json,
                                                      tessaro_secret** password, tessaro_error** error);
/// Creates an item of `kind` ("login", "credit_card", "bank_card", "api_key", "server",
/// "secure_note"; NULL: "login") from the user's input. `prefill_json` (may be NULL) is the
/// prefill form {"title"?, "url"?, "username_hint"?, "extra_hint"?: {name: text}}; `vault_id`
/// NULL: the first vault the grant may write. `*created_json` is the created form
/// ({"request_id", "saved_out_of_scope", "item": item form or null, "summary": {"id", "title",
/// "url", "kind"} or null}); `*password` the new item's password, NULL when the item came back
/// without contents. Blocks and fails as tessaro_client_pick_item(), plus PROTOCOL
/// "no_granted_vault".
TESSARO_EXPORT tessaro_status tessaro_client_create_item(tessaro_client* client, const char* kind,
                                                         const char* prefill_json, const char* reason,
                                                         const char* vault_id, tessaro_cancel* cancel,
                                                         char** created_json, tessaro_secret** password,
                                                         tessaro_error** error);
/// Changes fields of item `id` in `vault_id` once the user approves. `patch_json` is a JSON object
/// of field name to its new text ({"password": "...", "notes": "..."}); the new values are sealed
/// and never reach the server in plain text. `*updated_json` is {"request_id", "item_id",
/// "revision"}. ::TESSARO_PROTOCOL "empty_patch" for {}; CONFLICT when the item changed meanwhile;
/// otherwise as tessaro_client_pick_item().
TESSARO_EXPORT tessaro_status tessaro_client_update_item(tessaro_client* client, const char* id, const char* vault_id,
                                                         const char* patch_json, const char* reason,
                                                         tessaro_cancel* cancel, char** updated_json,
                                                         tessaro_error** error);

/// Hands a URL the desktop opened in the host (a callback URL) to the flow waiting for it:
/// `*taken` is true when it was this client's callback and a flow took it. Any thread; blocks only
/// on an internal lock.
TESSARO_EXPORT tessaro_status tessaro_client_handle_callback(tessaro_client* client, const char* url, bool* taken,
                                                             tessaro_error** error);
/// Waits up to `timeout_ms` milliseconds for the client's background work (application launches,
/// server cancels, token requests whose caller stopped); `*idle` is true when none is left. For a
/// host about to exit. Any thread: blocks up to the timeout.
TESSARO_EXPORT tessaro_status tessaro_client_drain(tessaro_client* client, uint32_t timeout_ms, bool* idle,
                                                   tessaro_error** error);

/// @}
/// @name The loopback redirect receiver
/// @{

/// Receives callback URLs on http://127.0.0.1:PORT/PATH, for hosts without a desktop entry for a
/// URL scheme of their own: make it first, build the client with its URL as the redirect URL, then
/// tessaro_loopback_redirect_set_client(). Listens until freed; serves each callback on a thread
/// of its own. Thread-safe.
typedef struct tessaro_loopback_redirect tessaro_loopback_redirect;

/// Starts listening on 127.0.0.1:`port` (0: an ephemeral port) for `path` (NULL:
/// "/tessaro/callback"; absolute, without "?", "#", "%" or spaces). ::TESSARO_INVALID_ARGUMENT
/// for an unacceptable path, ::TESSARO_INTERNAL when the port cannot be listened on (the message
/// says why). Blocks only on binding the socket.
TESSARO_EXPORT tessaro_status tessaro_loopback_redirect_new(uint16_t port, const char* path,
                                                            tessaro_loopback_redirect** redirect,
                                                            tessaro_error** error);
/// The URL to build the client with, "http://127.0.0.1:PORT/PATH". Owned by the receiver; valid
/// until it is freed. NULL for a NULL receiver.
TESSARO_EXPORT const char* tessaro_loopback_redirect_url(const tessaro_loopback_redirect* redirect);
/// The port listened on; 0 for a NULL receiver.
TESSARO_EXPORT uint16_t tessaro_loopback_redirect_port(const tessaro_loopback_redirect* redirect);
/// Hands each callback to `client` (NULL: drop callbacks from now on). The receiver does not keep
/// the client alive: once the client is freed, callbacks are dropped. Any thread.
TESSARO_EXPORT tessaro_status tessaro_loopback_redirect_set_client(tessaro_loopback_redirect* redirect,
                                                                   tessaro_client* client, tessaro_error** error);
/// Stops listening and frees the receiver (NULL is allowed). Blocks: waits for callbacks being
/// served (a few seconds at most).
TESSARO_EXPORT void tessaro_loopback_redirect_free(tessaro_loopback_redirect* redirect);

/// @}

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TESSARO_C_TESSARO_H
