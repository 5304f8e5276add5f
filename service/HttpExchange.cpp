#include "HttpExchange.h"

#include <QJsonDocument>

#include <algorithm>
#include <cctype>

namespace kivo::service {

namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

const std::pair<std::string, std::string>* findField(const HttpFields& fields, std::string_view name, bool ignoreCase)
{
    const auto found = std::find_if(fields.begin(), fields.end(), [&](const auto& field) {
        return ignoreCase ? equalIgnoringCase(field.first, name) : field.first == name;
    });
    return found == fields.end() ? nullptr : &*found;
}

} // namespace

std::string HttpRequest::header(std::string_view name) const
{
    const auto* field = findField(headers, name, true);
    return field ? field->second : std::string();
}

bool HttpRequest::hasQueryItem(std::string_view name) const
{
    return findField(query, name, false) != nullptr;
}

std::string HttpRequest::queryItem(std::string_view name) const
{
    const auto* field = findField(query, name, false);
    return field ? field->second : std::string();
}

HttpResponse jsonAnswer(int status, const QJsonObject& object)
{
    return HttpResponse{status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), {}};
}

HttpResponse jsonError(int status, const QString& message, int retryAfterSeconds)
{
    HttpResponse response = jsonAnswer(status, QJsonObject{{"error", message}});
    if (status == 503 || status == 429)
        response.headers.emplace_back("Retry-After", std::to_string(std::max(1, retryAfterSeconds)));
    return response;
}

HttpResponse htmlAnswer(int status, std::string html)
{
    return HttpResponse{status, "text/html; charset=utf-8", std::move(html), {}};
}

} // namespace kivo::service
