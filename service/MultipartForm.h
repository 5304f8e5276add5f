#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::service {

// One part of a multipart/form-data body; the views point into the body.
struct FormPart {
    std::string name;
    std::string filename;
    std::string contentType;
    std::string_view content;
};

// The parts of a multipart/form-data body, given the request's Content-Type; nothing when the
// type names no boundary or the body is not well formed. At most `maxParts` parts are accepted.
std::optional<std::vector<FormPart>> parseMultipartForm(std::string_view contentType, std::string_view body,
                                                        std::size_t maxParts = 16);

} // namespace kivo::service
