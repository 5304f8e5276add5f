#include "DropRules.h"

#include "core/Log.h"

#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <filesystem>

namespace kivo {

namespace {

namespace fs = std::filesystem;

void addFolderContents(const fs::path& folder, QSet<QString>& visited, QList<QUrl>& files)
{
    std::error_code error;
    const fs::path canonical = fs::canonical(folder, error);
    if (error) {
        logLine(QStringLiteral("Error reading folder contents: ") + QString::fromStdString(error.message()));
        return;
    }
    if (visited.contains(QString::fromStdString(canonical.string())))
        return;
    visited.insert(QString::fromStdString(canonical.string()));

    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (!it->path().filename().string().starts_with('.'))
            entries.push_back(*it);
    if (error) {
        logLine(QStringLiteral("Error reading folder contents: ") + QString::fromStdString(error.message()));
        return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });

    for (const fs::directory_entry& entry : entries) {
        std::error_code flagError;
        if (entry.is_directory(flagError) && !flagError)
            addFolderContents(entry.path(), visited, files);
        else
            files.append(QUrl::fromLocalFile(QString::fromStdString(entry.path().string())));
    }
}

QString namesLine(const char* prefix, const QStringList& names, const char* what)
{
    QString line = QString::fromUtf8(prefix) + QString::number(names.size()) + QString::fromUtf8(what)
        + names.mid(0, 3).join(QStringLiteral(", "));
    if (names.size() > 3)
        line += QStringLiteral("...");
    return line;
}

} // namespace

const QStringList& acceptedDropExtensions()
{
    static const QStringList extensions{QStringLiteral("jpg"),  QStringLiteral("jpeg"), QStringLiteral("png"),
                                        QStringLiteral("gif"),  QStringLiteral("bmp"),  QStringLiteral("tiff"),
                                        QStringLiteral("webp"), QStringLiteral("heic"), QStringLiteral("heif")};
    return extensions;
}

bool hasAcceptedDropExtension(const QUrl& file)
{
    return acceptedDropExtensions().contains(QFileInfo(file.fileName()).suffix().toLower());
}

QList<QUrl> collectDroppedFiles(const QList<QUrl>& dropped)
{
    QList<QUrl> files;
    QSet<QString> visited;
    for (const QUrl& url : dropped) {
        if (!url.isLocalFile())
            continue;
        const QFileInfo info(url.toLocalFile());
        if (!info.exists())
            continue;
        if (info.isDir())
            addFolderContents(fs::path(info.filePath().toStdString()), visited, files);
        else
            files.append(url);
    }
    return files;
}

QString dropSummary(bool added, qsizetype taskCount, const QStringList& duplicateNames,
                    const QStringList& invalidNames, const QStringList& refusals)
{
    QStringList lines;
    if (added)
        lines << QStringLiteral("✅ Successfully added %1 image(s)").arg(taskCount);
    if (!duplicateNames.isEmpty())
        lines << namesLine("⚠️ Skipped ", duplicateNames, " duplicate file(s): ");
    if (!invalidNames.isEmpty())
        lines << namesLine("❌ Skipped ", invalidNames, " invalid file(s): ");
    if (!refusals.isEmpty()) {
        QString reasons = refusals.mid(0, 3).join(u'\n');
        if (refusals.size() > 3)
            reasons += QStringLiteral("\n…");
        lines << reasons;
    }
    return lines.join(QStringLiteral("\n\n"));
}

} // namespace kivo
