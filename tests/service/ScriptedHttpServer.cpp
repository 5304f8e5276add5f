#include "service/ScriptedHttpServer.h"

#include <chrono>

namespace kivo::test {

std::string ScriptedHttpServer::Request::header(const std::string& name) const
{
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

ScriptedHttpServer::ScriptedHttpServer(Script script)
    : m_script(std::move(script))
{
    // Multipart bodies would be parsed into parts and lost as bytes: hand every body over raw
    // by relabelling the request before the library reads it (the original type is kept).
    m_server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        auto& mutableRequest = const_cast<httplib::Request&>(request);
        if (mutableRequest.is_multipart_form_data()) {
            const std::string contentType = mutableRequest.get_header_value("Content-Type");
            mutableRequest.headers.erase("Content-Type");
            mutableRequest.headers.emplace("Content-Type", "application/octet-stream");
            mutableRequest.headers.emplace("X-Original-Content-Type", contentType);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        Request captured{request.method, request.target, request.headers, request.body};
        if (request.has_header("X-Original-Content-Type")) {
            captured.headers.erase("Content-Type");
            captured.headers.erase("X-Original-Content-Type");
            captured.headers.emplace("Content-Type", request.get_header_value("X-Original-Content-Type"));
        }
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(captured);
        }
        m_script(captured, response);
        std::lock_guard lock(m_mutex);
        ++m_answered;
    };
    // One request per connection: a client that outlives the server (a widget's network access
    // manager) would otherwise hold a kept-alive connection that stop() waits out for seconds.
    m_server.set_keep_alive_max_count(1);
    m_server.Post(".*", handle);
    m_server.Get(".*", handle);

    m_port = m_server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    while (!m_server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    m_server.stop();
    m_thread.join();
}

QString ScriptedHttpServer::baseURL() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

std::vector<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int ScriptedHttpServer::answered() const
{
    std::lock_guard lock(m_mutex);
    return m_answered;
}

ParsedMultipart parseMultipart(const std::string& contentType, const std::string& body)
{
    ParsedMultipart parsed;
    const std::string prefix = "multipart/form-data; boundary=";
    if (contentType.rfind(prefix, 0) != 0)
        return parsed;
    parsed.boundary = contentType.substr(prefix.size());
    const std::string delimiter = "--" + parsed.boundary;
    if (body.rfind(delimiter + "\r\n", 0) != 0)
        return parsed;

    std::size_t position = delimiter.size() + 2;
    for (;;) {
        const std::size_t end = body.find("\r\n" + delimiter, position);
        if (end == std::string::npos)
            return parsed;
        const std::string part = body.substr(position, end - position);
        const std::size_t blank = part.find("\r\n\r\n");
        if (blank == std::string::npos)
            return parsed;
        parsed.parts.push_back({part.substr(0, blank), part.substr(blank + 4)});

        const std::size_t after = end + 2 + delimiter.size();
        if (body.compare(after, 4, "--\r\n") == 0) {
            parsed.wellFormed = after + 4 == body.size();
            return parsed;
        }
        if (body.compare(after, 2, "\r\n") != 0)
            return parsed;
        position = after + 2;
    }
}

} // namespace kivo::test
