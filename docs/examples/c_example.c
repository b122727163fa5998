/* A complete host in C: authorizes once (the grant stays in the desktop's secret store for the
 * next run), lets the user pick the login of a web site in the password-manager application and
 * prints its title. Callbacks come back to a loopback redirect receiver, so the program needs no
 * desktop entry of its own.
 *
 *   cc -std=c11 c_example.c $(pkg-config --cflags --libs tessaro-sdk) -o c_example
 *   ./c_example https://vault.example pmc_myapp
 */
#include <stdbool.h>
#include <stdio.h>
#include <string.h>

#include <tessaro/c/tessaro.h>

/* Prints a failed call's error (the error JSON form) and frees it. */
static void report(const char* what, tessaro_error* error) {
    char* json = tessaro_error_json(error);
    fprintf(stderr, "%s failed: %s\n", what, json != NULL ? json : tessaro_error_message(error));
    tessaro_free(json);
    tessaro_error_free(error);
}

/* Called while the user acts in the password-manager application: waiting_json is the waiting
 * form, whose "message" says what the user must do; NULL when the wait is over. */
static void on_waiting(const char* waiting_json, void* user) {
    (void)user;
    fprintf(stderr, "waiting: %s\n", waiting_json != NULL ? waiting_json : "over");
}

/* Prints the text of the top-level member `name` of a JSON object as the kit writes it (UTF-8,
 * only quotes, backslashes and control characters escaped). A larger host uses a JSON library. */
static void print_text_member(const char* json, const char* name) {
    int depth = 0;
    for (const char* p = json; *p != '\0'; ++p) {
        if (*p == '{' || *p == '[') {
            ++depth;
        } else if (*p == '}' || *p == ']') {
            --depth;
        } else if (*p == '"') {
            const char* text = ++p;
            while (*p != '"' && *p != '\0')
                p += (*p == '\\' && p[1] != '\0') ? 2 : 1;
            if (*p == '\0') break;
            const char* next = p + 1;
            while (*next == ' ')
                ++next;
            const size_t length = (size_t)(p - text);
            if (depth != 1 || *next != ':' || length != strlen(name) || strncmp(text, name, length) != 0) continue;
            for (++next; *next == ' '; ++next) {}
            if (*next != '"') break; /* null, or not a text */
            for (const char* c = next + 1; *c != '"' && *c != '\0'; ++c) {
                if (*c != '\\' || c[1] == '\0') {
                    putchar(*c);
                } else if (*++c != 'u') {
                    putchar(*c == 'n' ? '\n' : *c == 't' ? '\t' : *c);
                } else {
                    putchar('?'); /* a control character, \u00XX */
                    for (int digit = 0; digit < 4 && c[1] != '\0'; ++digit)
                        ++c;
                }
            }
            break;
        }
    }
    putchar('\n');
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ORIGIN CLIENT_ID\n", argv[0]);
        return 2;
    }
    int result = 1;
    tessaro_error* error = NULL;
    tessaro_loopback_redirect* redirect = NULL;
    tessaro_client* client = NULL;
    bool authorized = false;
    char* grant = NULL;
    char* item = NULL;
    tessaro_secret* password = NULL;

    /* The receiver first: its URL, http://127.0.0.1:PORT/tessaro/callback, is the redirect URL. */
    if (tessaro_loopback_redirect_new(0, NULL, &redirect, &error) != TESSARO_OK) {
        report("listening for callbacks", error);
        goto done;
    }
    /* No options: the session lives in the desktop's secret store, URLs open with the desktop. */
    if (tessaro_client_new(argv[1], argv[2], tessaro_loopback_redirect_url(redirect), NULL, &client, &error) !=
        TESSARO_OK) {
        report("creating the client", error);
        goto done;
    }
    tessaro_loopback_redirect_set_client(redirect, client, NULL);
    tessaro_client_set_on_waiting(client, on_waiting, NULL, NULL, NULL);

    /* Each call below blocks until the user has answered in the password-manager application. */
    tessaro_client_is_authorized(client, &authorized, NULL);
    if (!authorized) {
        if (tessaro_client_authorize(client, NULL, &grant, &error) != TESSARO_OK) {
            report("authorizing", error);
            goto done;
        }
        printf("authorized: %s\n", grant);
        tessaro_free(grant);
    }
    if (tessaro_client_pick_item(client, "{\"url\": \"https://bank.example\"}", "Sign in to the bank", NULL, NULL,
                                 &item, &password, &error) != TESSARO_OK) {
        report("picking an item", error);
        goto done;
    }
    printf("picked: ");
    print_text_member(item, "title");
    /* The password arrives outside the JSON; use it, then let the kit zero and free it. */
    printf("its password has %zu bytes\n", password != NULL ? password->length : 0);
    result = 0;

done:
    tessaro_free_secret(password);
    tessaro_free(item);
    tessaro_loopback_redirect_free(redirect);
    tessaro_client_free(client);
    return result;
}
