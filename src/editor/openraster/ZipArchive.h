#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <variant>
#include <vector>

struct zip;

namespace kivo {

// A zip file built in memory, entries in the order they are added (libzip).
class ZipBuilder {
public:
    enum class Compression { store, deflate };
    void add(const QString& name, QByteArray bytes, Compression compression);
    // The whole archive, or the reason it could not be built.
    std::variant<QByteArray, QString> finish() const;

private:
    struct Entry {
        QString name;
        QByteArray bytes;
        Compression compression;
    };
    std::vector<Entry> m_entries;
};

// A zip file opened for reading whose entries are read whole, each within a byte limit and all
// of them together within another, whatever sizes the archive claims.
class ZipReader {
public:
    ZipReader(qint64 entryLimit, qint64 totalLimit);
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    // The reason the file is not a readable zip, if it is not.
    std::optional<QString> open(const QString& path);
    QStringList names() const;
    bool contains(const QString& name) const;
    // The entry's bytes, or the reason they could not be had (missing, too large, damaged).
    std::variant<QByteArray, QString> read(const QString& name);

private:
    struct Closer {
        void operator()(zip* archive) const;
    };
    std::unique_ptr<zip, Closer> m_archive;
    qint64 m_entryLimit;
    qint64 m_totalLimit;
    qint64 m_totalRead = 0;
};

} // namespace kivo
