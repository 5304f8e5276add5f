#pragma once

#include <QString>

#include <httplib.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivo::test {

// A real HTTP server on 127.0.0.1 whose answers a test scripts, for the answers the stand-in
// service never gives. It keeps every request as it arrived, multipart bodies included byte for
// byte (the HTTP library would otherwise take them apart).
class ScriptedHttpServer {
public:
    struct Request {
        std::string method;
        std::string target; // path and query as sent
        httplib::Headers headers;
        std::string body;
        std::string header(const std::string& name) const;
    };
    using Script = std::function<void(const Request&, httplib::Response&)>;

    explicit ScriptedHttpServer(Script script);
    ~ScriptedHttpServer();

    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // "http://127.0.0.1:<port>"
    QString baseURL() const;
    std::vector<Request> requests() const;
    // Answers given so far (the script has returned).
    int answered() const;

private:
    Script m_script;
    httplib::Server m_server;
    int m_port = -1;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
    int m_answered = 0;
};

// A multipart body taken apart: the boundary from the Content-Type header and each part's
// header block and content. Absent pieces are empty.
struct ParsedMultipart {
    struct Part {
        std::string headers; // the header lines, CRLF-separated, without the blank line
        std::string content;
    };
    std::string boundary;
    std::vector<Part> parts;
    bool wellFormed = false; // delimiters, CRLFs and the closing "--boundary--\r\n" as expected
};
ParsedMultipart parseMultipart(const std::string& contentType, const std::string& body);

} // namespace kivo::test
