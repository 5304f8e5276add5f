#include "MultipartForm.h"

#include <algorithm>
#include <cctype>

namespace kivo::service {

namespace {

constexpr std::size_t kMaxPartHeader = 8 * 1024;

std::string lowered(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return result;
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The value of `name=` among the `;`-separated parameters of a header value; quotes are
// removed as they are (the application sends names without escaping).
std::optional<std::string> parameter(std::string_view value, std::string_view name)
{
    std::size_t position = 0;
    while (position < value.size()) {
        const auto end = value.find(';', position);
        const std::string_view item = trimmed(value.substr(position, end == std::string_view::npos ? end : end - position));
        const auto equals = item.find('=');
        if (equals != std::string_view::npos && lowered(trimmed(item.substr(0, equals))) == name) {
            std::string_view found = trimmed(item.substr(equals + 1));
            if (found.size() >= 2 && found.front() == '"') {
                // A quoted value may itself hold ';': take everything up to the closing quote.
                const auto start = value.find('"', position) + 1;
                const auto close = value.find('"', start);
                if (close == std::string_view::npos)
                    return std::nullopt;
                return std::string(value.substr(start, close - start));
            }
            return std::string(found);
        }
        if (end == std::string_view::npos)
            break;
        position = end + 1;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::vector<FormPart>> parseMultipartForm(std::string_view contentType, std::string_view body,
                                                        std::size_t maxParts)
{
    if (lowered(trimmed(contentType.substr(0, contentType.find(';')))) != "multipart/form-data")
        return std::nullopt;
    const auto boundary = parameter(contentType, "boundary");
    if (!boundary || boundary->empty() || boundary->size() > 200)
        return std::nullopt;
    const std::string delimiter = "--" + *boundary;
    const std::string nextDelimiter = "\r\n" + delimiter;

    // The preamble before the first delimiter is ignored.
    std::size_t position = body.find(delimiter);
    if (position == std::string_view::npos)
        return std::nullopt;
    position += delimiter.size();

    std::vector<FormPart> parts;
    while (true) {
        if (body.substr(position, 2) == "--")
            return parts;
        if (body.substr(position, 2) != "\r\n" || parts.size() >= maxParts)
            return std::nullopt;
        position += 2;
        const auto headerEnd = body.find("\r\n\r\n", position);
        if (headerEnd == std::string_view::npos || headerEnd - position > kMaxPartHeader)
            return std::nullopt;

        FormPart part;
        bool formData = false;
        std::string_view headers = body.substr(position, headerEnd - position);
        while (!headers.empty()) {
            const auto lineEnd = headers.find("\r\n");
            const std::string_view line = headers.substr(0, lineEnd);
            headers = lineEnd == std::string_view::npos ? std::string_view() : headers.substr(lineEnd + 2);
            const auto colon = line.find(':');
            if (colon == std::string_view::npos)
                return std::nullopt;
            const std::string field = lowered(trimmed(line.substr(0, colon)));
            const std::string_view value = trimmed(line.substr(colon + 1));
            if (field == "content-disposition") {
                formData = lowered(trimmed(value.substr(0, value.find(';')))) == "form-data";
                part.name = parameter(value, "name").value_or(std::string());
                part.filename = parameter(value, "filename").value_or(std::string());
            } else if (field == "content-type") {
                part.contentType = std::string(value);
            }
        }
        if (!formData)
            return std::nullopt;

        const std::size_t contentStart = headerEnd + 4;
        const auto contentEnd = body.find(nextDelimiter, contentStart);
        if (contentEnd == std::string_view::npos)
            return std::nullopt;
        part.content = body.substr(contentStart, contentEnd - contentStart);
        parts.push_back(std::move(part));
        position = contentEnd + nextDelimiter.size();
    }
}

} // namespace kivo::service
