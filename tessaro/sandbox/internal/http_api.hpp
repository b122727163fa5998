#pragma once
// The HTTP routes of the sandbox: the API under /api/oauth/ and the control routes under
// /sandbox/. Handlers run on httplib's thread pool and reach shared state only through the
// Backend and the Application, which lock for themselves.

#include <httplib.h>

#include <string>

#include <tessaro/sandbox/internal/application.hpp>
#include <tessaro/sandbox/internal/backend.hpp>

namespace tessaro::sandbox::detail {

void installRoutes(httplib::Server& server, Backend& backend, Application& application, const Application::Log& log,
                   std::function<std::string()> origin);

}  // namespace tessaro::sandbox::detail
