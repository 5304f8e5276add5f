#pragma once

#include <QString>

namespace kivo {

// Why an export failed, with the sentence the user reads.
struct ExportError {
    enum class Kind { fileSystemError, invalidImage, exportFailed, unsupportedFormat };

    explicit ExportError(Kind kind, QString underlying = {})
        : kind(kind)
        , underlying(std::move(underlying))
    {
    }
    static ExportError fileSystem(const QString& description) { return ExportError(Kind::fileSystemError, description); }

    Kind kind;
    // The underlying error's description (file-system errors only).
    QString underlying;

    // "File system error: …", "Invalid image data", "Export operation failed",
    // "Unsupported export format".
    QString description() const;
};

} // namespace kivo
