/* A host written in C against the installed headers: the version, a loopback redirect receiver, a
 * client on a memory store whose pick without a grant fails as the conventions say (status, error
 * object, output parameters), a refused hint, and the GLib executor. Needs no server. Usage:
 * tessaro-c-consumer [EXPECTED-VERSION]. Exits 0 when everything agrees. */
#include <stdio.h>
#include <string.h>

#include <tessaro/c/tessaro.h>
#include <tessaro/c/tessaro_glib.h>

static int failures = 0;

static void expect(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "tessaro-c-consumer: %s\n", what);
        ++failures;
    }
}

int main(int argc, char** argv) {
    const char* version = tessaro_version();
    expect(version != NULL && (argc < 2 || strcmp(version, argv[1]) == 0), "the library's version differs");
    expect(strcmp(tessaro_status_name(TESSARO_NOT_AUTHORIZED), "not_authorized") == 0, "status name");

    tessaro_error* error = NULL;
    tessaro_loopback_redirect* redirect = NULL;
    if (tessaro_loopback_redirect_new(0, NULL, &redirect, &error) != TESSARO_OK) {
        fprintf(stderr, "tessaro-c-consumer: no loopback receiver: %s\n", tessaro_error_message(error));
        tessaro_error_free(error);
        return 1;
    }
    expect(error == NULL && tessaro_loopback_redirect_port(redirect) != 0, "receiver port");
    expect(strncmp(tessaro_loopback_redirect_url(redirect), "http://127.0.0.1:", 17) == 0, "receiver URL");

    tessaro_client_options* options = tessaro_client_options_new();
    expect(tessaro_client_options_set_store(options, TESSARO_STORE_MEMORY, NULL) == TESSARO_OK, "memory store");
    tessaro_client* client = NULL;
    tessaro_status status = tessaro_client_new("https://tessaro.example", "pmc_consumer",
                                               tessaro_loopback_redirect_url(redirect), options, &client, &error);
    tessaro_client_options_free(options);
    if (status != TESSARO_OK) {
        fprintf(stderr, "tessaro-c-consumer: no client: %s\n", tessaro_error_message(error));
        tessaro_error_free(error);
        tessaro_loopback_redirect_free(redirect);
        return 1;
    }
    expect(tessaro_loopback_redirect_set_client(redirect, client, NULL) == TESSARO_OK, "receiver's client");

    bool authorized = true;
    expect(tessaro_client_is_authorized(client, &authorized, NULL) == TESSARO_OK && !authorized, "authorized");

    /* Outputs start non-NULL so that the call must clear them. */
    static char stale[] = "stale";
    static tessaro_secret stale_secret = {stale, 5};
    char* item = stale;
    tessaro_secret* password = &stale_secret;
    status = tessaro_client_pick_item(client, "{\"url\": \"https://bank.example\"}", "sign in", NULL, NULL, &item,
                                      &password, &error);
    expect(status == TESSARO_NOT_AUTHORIZED && item == NULL && password == NULL, "pick without a grant");
    expect(error != NULL && tessaro_error_code(error) == TESSARO_NOT_AUTHORIZED, "error object's code");
    expect(tessaro_error_message(error)[0] != '\0', "empty error message");
    expect(tessaro_error_protocol_code(error) == NULL && tessaro_error_download_url(error) == NULL,
           "protocol code or download URL on not_authorized");
    char* json = tessaro_error_json(error);
    expect(json != NULL && strstr(json, "\"not_authorized\"") != NULL, "error JSON");
    tessaro_free(json);
    tessaro_error_free(error);
    error = NULL;

    /* A hint that is not an object is refused before the store is read. */
    status = tessaro_client_pick_item(client, "[\"https://bank.example\"]", NULL, NULL, NULL, &item, NULL, &error);
    expect(status == TESSARO_INVALID_ARGUMENT && tessaro_error_code(error) == TESSARO_INVALID_ARGUMENT,
           "a hint that is not an object");
    tessaro_error_free(error);

    const tessaro_executor executor = tessaro_glib_executor(NULL);
    expect(tessaro_client_set_executor(client, &executor, NULL) == TESSARO_OK, "GLib executor");

    tessaro_client_free(client);
    tessaro_loopback_redirect_free(redirect);
    printf("tessaro-c-consumer: TessaroSDK %s through the C interface, %s\n", version, failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
