#include <tessaro/sandbox/internal/http_api.hpp>

#include <algorithm>

namespace tessaro::sandbox::detail {

namespace {

using Handler = std::function<Reply(const httplib::Request&)>;

std::optional<std::string> header(const httplib::Request& request, const char* name) {
    if (!request.has_header(name)) return std::nullopt;
    return request.get_header_value(name);
}

void send(httplib::Response& response, const Reply& reply) {
    response.status = reply.status;
    response.set_content(reply.body.dump(), "application/json");
}

// "POST /api/oauth/token": what a log line may say about a request (never its query, headers or
// body, which carry tokens, codes, verifiers, nonces and signatures).
std::string describe(const httplib::Request& request) {
    return loggable(request.method, 10) + " " + loggable(request.path);
}

// Runs a handler and turns a Refusal into {"error": code}; anything unexpected is a 500. Every
// answer of 400 or above is logged with its status and error code.
void answer(httplib::Response& response, const httplib::Request& request, const Application::Log& log,
            const std::function<Reply()>& handler) {
    Reply reply;
    try {
        reply = handler();
    } catch (const Refusal& refusal) {
        reply = {refusal.status, {{"error", refusal.code}}};
    } catch (const std::exception& error) {
        if (log) log(describe(request) + ": internal error: " + error.what());
        reply = {500, {{"error", "server_error"}}};
    }
    if (log && reply.status >= 400) {
        const std::string code = reply.body.is_object() ? reply.body.value("error", "") : "";
        log(describe(request) + ": refused " + std::to_string(reply.status) + " " + code);
    }
    send(response, reply);
}

// A JSON request body: Content-Type application/json and a parsable text.
nlohmann::json jsonBody(const httplib::Request& request) {
    std::string type = request.get_header_value("Content-Type");
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!type.starts_with("application/json")) throw Refusal(415, "unsupported_media_type");
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded()) throw Refusal(400, "invalid_json");
    return body;
}

}  // namespace

void installRoutes(httplib::Server& server, Backend& backend, Application& application, const Application::Log& log,
                   std::function<std::string()> origin) {
    // Every signed endpoint authenticates first, on the request exactly as received.
    auto signedRoute = [&backend,
                        log](std::function<Reply(const std::string& grantID, const httplib::Request&)> handler) {
        return [&backend, log, handler](const httplib::Request& request, httplib::Response& response) {
            answer(response, request, log, [&] {
                const std::string path = request.target.substr(0, request.target.find('?'));
                const SignedHeaders headers{header(request, "Authorization"), header(request, "x-pm-timestamp"),
                                            header(request, "x-pm-nonce"), header(request, "x-pm-signature")};
                const std::string grantID = backend.authenticate(request.method, path, headers, request.body);
                return handler(grantID, request);
            });
        };
    };

    server.Post("/api/oauth/token", [&backend, log](const httplib::Request& request, httplib::Response& response) {
        answer(response, request, log, [&] { return backend.token(jsonBody(request)); });
    });
    server.Get("/api/oauth/account", signedRoute([&backend](const std::string& grantID, const httplib::Request&) {
                   return backend.account(grantID);
               }));
    server.Post("/api/oauth/revoke",
                signedRoute([&backend](const std::string& grantID, const httplib::Request& request) {
                    return backend.revoke(grantID, jsonBody(request));
                }));
    server.Post("/api/oauth/requests",
                signedRoute([&backend](const std::string& grantID, const httplib::Request& request) {
                    return backend.createRequest(grantID, jsonBody(request));
                }));
    server.Get(R"(/api/oauth/requests/([A-Za-z0-9_-]+))",
               signedRoute([&backend](const std::string& grantID, const httplib::Request& request) {
                   return backend.readRequest(grantID, request.matches[1]);
               }));
    server.Put(R"(/api/oauth/requests/([A-Za-z0-9_-]+)/patch)",
               signedRoute([&backend](const std::string& grantID, const httplib::Request& request) {
                   return backend.putPatch(grantID, request.matches[1], jsonBody(request));
               }));
    server.Post(R"(/api/oauth/requests/([A-Za-z0-9_-]+)/cancel)",
                signedRoute([&backend, log](const std::string& grantID, const httplib::Request& request) {
                    jsonBody(request);  // the cancel carries an empty JSON object
                    Reply reply = backend.cancelRequest(grantID, request.matches[1]);
                    if (log && reply.status < 400)
                        log("request " + loggable(request.matches[1].str()) + ": cancelled by the client");
                    return reply;
                }));

    // Control routes for tests, scripts and `tessaro-sandbox open`.
    server.Post("/sandbox/open", [&application, log](const httplib::Request& request, httplib::Response& response) {
        answer(response, request, log, [&] {
            std::string url = request.body;
            const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
            if (body.is_object()) {
                const auto member = body.find("url");
                if (member == body.end() || !member->is_string()) throw Refusal(400, "missing_url");
                url = member->get<std::string>();
            }
            std::string why;
            const OpenResult result = application.open(url, &why);
            if (!result.accepted) return Reply{400, {{"error", result.error}, {"message", result.error + ": " + why}}};
            return Reply{202, {{"accepted", true}}};
        });
    });
    server.Get("/sandbox/policy", [&application, log](const httplib::Request& request, httplib::Response& response) {
        answer(response, request, log, [&] { return Reply{200, application.policy().toJSON()}; });
    });
    server.Post("/sandbox/policy", [&application, log](const httplib::Request& request, httplib::Response& response) {
        answer(response, request, log, [&] {
            try {
                application.setPolicy(Policy::fromJSON(jsonBody(request), application.policy()));
            } catch (const std::invalid_argument& error) {
                return Reply{400, {{"error", "invalid_policy"}, {"message", error.what()}}};
            }
            return Reply{200, application.policy().toJSON()};
        });
    });
    server.Get("/sandbox/info", [&backend, log, origin](const httplib::Request& request, httplib::Response& response) {
        answer(response, request, log, [&] {
            return Reply{200,
                         {{"origin", origin()},
                          {"demo_client_id", std::string(Sandbox::demoClientID)},
                          {"identity_public_key", backend.identityPublicKey()}}};
        });
    });

    // Answers no route gave (an unknown path, a request httplib could not read).
    server.set_error_handler([log](const httplib::Request& request, httplib::Response& response) {
        if (response.body.empty()) {
            const std::string code = response.status == 404 ? "not_found" : "bad_request";
            response.set_content(nlohmann::json{{"error", code}}.dump(), "application/json");
            if (log) log(describe(request) + ": refused " + std::to_string(response.status) + " " + code);
        }
    });
}

}  // namespace tessaro::sandbox::detail
