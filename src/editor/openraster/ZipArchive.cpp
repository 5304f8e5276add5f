#include "ZipArchive.h"

#include <QFile>
#include <QStringList>

#include <zip.h>

#include <cstdio>

namespace kivo {

namespace {

QString zipErrorText(zip_error_t* error)
{
    return QString::fromUtf8(zip_error_strerror(error));
}

} // namespace

void ZipBuilder::add(const QString& name, QByteArray bytes, Compression compression)
{
    m_entries.push_back({name, std::move(bytes), compression});
}

std::variant<QByteArray, QString> ZipBuilder::finish() const
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* memory = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!memory) {
        const QString text = zipErrorText(&error);
        zip_error_fini(&error);
        return text;
    }
    zip_t* archive = zip_open_from_source(memory, ZIP_TRUNCATE, &error);
    if (!archive) {
        const QString text = zipErrorText(&error);
        zip_error_fini(&error);
        zip_source_free(memory);
        return text;
    }
    // The memory source must outlive zip_close, which writes into it.
    zip_source_keep(memory);

    auto fail = [&](const QString& text) -> std::variant<QByteArray, QString> {
        zip_discard(archive);
        zip_source_free(memory);
        return text;
    };
    for (const Entry& entry : m_entries) {
        // The entries' bytes live in m_entries until zip_close has read them.
        zip_source_t* data = zip_source_buffer(archive, entry.bytes.constData(), zip_uint64_t(entry.bytes.size()), 0);
        if (!data)
            return fail(QString::fromUtf8(zip_strerror(archive)));
        const zip_int64_t index = zip_file_add(archive, entry.name.toUtf8().constData(), data, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(data);
            return fail(QString::fromUtf8(zip_strerror(archive)));
        }
        const zip_int32_t method = entry.compression == Compression::store ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
        if (zip_set_file_compression(archive, zip_uint64_t(index), method, 0) != 0)
            return fail(QString::fromUtf8(zip_strerror(archive)));
    }
    if (zip_close(archive) != 0)
        return fail(QString::fromUtf8(zip_strerror(archive)));

    QByteArray bytes;
    if (zip_source_open(memory) == 0) {
        zip_source_seek(memory, 0, SEEK_END);
        const zip_int64_t size = zip_source_tell(memory);
        zip_source_seek(memory, 0, SEEK_SET);
        if (size >= 0) {
            bytes.resize(size);
            if (zip_source_read(memory, bytes.data(), zip_uint64_t(size)) != size)
                bytes.clear();
        }
        zip_source_close(memory);
    }
    zip_source_free(memory);
    if (bytes.isEmpty())
        return QStringLiteral("the archive could not be assembled in memory");
    return bytes;
}

void ZipReader::Closer::operator()(zip* archive) const
{
    zip_discard(archive);
}

ZipReader::ZipReader(qint64 entryLimit, qint64 totalLimit)
    : m_entryLimit(entryLimit), m_totalLimit(totalLimit)
{
}

ZipReader::~ZipReader() = default;

std::optional<QString> ZipReader::open(const QString& path)
{
    int code = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        const QString text = zipErrorText(&error);
        zip_error_fini(&error);
        return text;
    }
    m_archive.reset(archive);
    return std::nullopt;
}

QStringList ZipReader::names() const
{
    QStringList names;
    const zip_int64_t count = zip_get_num_entries(m_archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i)
        if (const char* name = zip_get_name(m_archive.get(), zip_uint64_t(i), ZIP_FL_ENC_GUESS))
            names.append(QString::fromUtf8(name));
    return names;
}

bool ZipReader::contains(const QString& name) const
{
    return zip_name_locate(m_archive.get(), name.toUtf8().constData(), ZIP_FL_ENC_GUESS) >= 0;
}

std::variant<QByteArray, QString> ZipReader::read(const QString& name)
{
    const zip_int64_t index = zip_name_locate(m_archive.get(), name.toUtf8().constData(), ZIP_FL_ENC_GUESS);
    if (index < 0)
        return QStringLiteral("“%1” is missing").arg(name);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(m_archive.get(), zip_uint64_t(index), 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE))
        return QStringLiteral("“%1” is damaged").arg(name);
    const qint64 allowed = std::min(m_entryLimit, m_totalLimit - m_totalRead);
    if (stat.size > zip_uint64_t(allowed))
        return QStringLiteral("“%1” is too large").arg(name);

    zip_file_t* file = zip_fopen_index(m_archive.get(), zip_uint64_t(index), 0);
    if (!file)
        return QStringLiteral("“%1” cannot be read: %2").arg(name, QString::fromUtf8(zip_strerror(m_archive.get())));
    // The claimed size is only a claim: read at most one byte more than it and the limit allow.
    QByteArray bytes(qsizetype(stat.size), Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < bytes.size()) {
        const zip_int64_t got = zip_fread(file, bytes.data() + filled, zip_uint64_t(bytes.size() - filled));
        if (got <= 0)
            break;
        filled += got;
    }
    char extra = 0;
    const zip_int64_t beyond = filled == bytes.size() ? zip_fread(file, &extra, 1) : 0;
    const bool failed = filled != bytes.size() || beyond != 0;
    const QString reason = QString::fromUtf8(zip_file_strerror(file));
    zip_fclose(file);
    if (failed)
        return QStringLiteral("“%1” is damaged (%2)").arg(name, reason);
    m_totalRead += filled;
    return bytes;
}

} // namespace kivo
