// The export flow as the user meets it: the save dialog's proposal and the alert on failure.

#include "editor/export/ExportFlow.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/document/SessionEdits.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFileDialog>
#include <QImageReader>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

template <typename Widget>
Widget* findTopLevel(const QString& objectName = {})
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* found = qobject_cast<Widget*>(widget);
        if (found && found->isVisible() && (objectName.isEmpty() || found->objectName() == objectName))
            return found;
    }
    return nullptr;
}

class ExportFlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window.resize(800, 600);
        window.show();
        UserPreferences preferences = state.userPreferences();
        preferences.defaultExportLocation = QUrl::fromLocalFile(folder.path());
        state.setUserPreferences(preferences);
        model.createNamedSession(QStringLiteral("Session - 03/07/2025 14:05"));
        model.importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::red, {30, 20}));
    }

    // Runs the editor's export and answers its save dialog with `fileName` in the folder.
    QFileDialog* startExport()
    {
        exportCanvas(&window, model);
        return findTopLevel<QFileDialog>(QStringLiteral("exportDialog"));
    }

    QTemporaryDir folder;
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    ImageEditorModel model{state};
    QWidget window;
};

} // namespace

TEST_F(ExportFlowTest, TheDialogProposesTheNamingPatternInTheExportFolderAndTheFileIsWritten)
{
    QFileDialog* dialog = startExport();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(QDir(dialog->directory()).absolutePath(), QDir(folder.path()).absolutePath());
    EXPECT_EQ(dialog->findChild<QLineEdit*>()->text(), u"Session - 03-07-2025 14:05_kivo.png");
    EXPECT_EQ(dialog->selectedNameFilter(), u"PNG Image (*.png)");
    static_cast<QDialog*>(dialog)->accept();
    const QString written = folder.filePath(QStringLiteral("Session - 03-07-2025 14:05_kivo.png"));
    ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(written); }));
    EXPECT_EQ(QImage(written).size(), QSize(30, 20));
}

TEST_F(ExportFlowTest, AFailedExportIsShownInTheEditorsAlert)
{
    QFileDialog* dialog = startExport();
    ASSERT_TRUE(dialog);
    // The folder disappears while the dialog is open.
    const QString target = folder.filePath(QStringLiteral("gone/picture.png"));
    ASSERT_TRUE(QDir().mkpath(folder.filePath(QStringLiteral("gone"))));
    dialog->selectFile(target);
    ASSERT_TRUE(QDir(folder.filePath(QStringLiteral("gone"))).removeRecursively());
    static_cast<QDialog*>(dialog)->accept();

    QMessageBox* alert = nullptr;
    ASSERT_TRUE(test::waitUntil([&] { return (alert = window.findChild<QMessageBox*>()) != nullptr; }));
    EXPECT_EQ(alert->windowTitle(), u"Background Removal");
    EXPECT_EQ(alert->text(), u"File system error: No such file or directory");
    EXPECT_TRUE(QDir(folder.path()).entryList(QDir::Files).isEmpty());
}

TEST_F(ExportFlowTest, CancellingOrHavingNoSessionExportsNothing)
{
    QFileDialog* dialog = startExport();
    ASSERT_TRUE(dialog);
    dialog->reject();
    QCoreApplication::processEvents();
    EXPECT_TRUE(QDir(folder.path()).entryList(QDir::Files).isEmpty());

    model.selectSession(std::nullopt);
    exportCanvas(&window, model);
    EXPECT_FALSE(findTopLevel<QFileDialog>(QStringLiteral("exportDialog")));
}

TEST_F(ExportFlowTest, AllFormatsAreOfferedAndTheExtensionTypedWins)
{
    // A session with see-through pixels on a transparent canvas.
    QImage clear(30, 20, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    for (int y = 0; y < 20; ++y)
        for (int x = 15; x < 30; ++x)
            clear.setPixelColor(x, y, Qt::red);
    model.createNamedSession(QStringLiteral("Clear"));
    model.importImage(QUrl::fromLocalFile(QStringLiteral("/photos/clear.png")), clear);

    struct Case {
        QString typed;
        QString filter;
        QString written;
        QByteArray format;
    };
    const Case cases[] = {
        {QStringLiteral("typed.jpg"), QStringLiteral("PNG Image (*.png)"), QStringLiteral("typed.jpg"), "jpeg"},
        {QStringLiteral("plain"), QStringLiteral("TIFF Image (*.tiff *.tif)"), QStringLiteral("plain.tiff"), "tiff"},
        {QStringLiteral("sheet.PDF"), QStringLiteral("PNG Image (*.png)"), QStringLiteral("sheet.PDF"), "pdf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        QFileDialog* dialog = startExport();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->nameFilters(),
                  QStringList({QStringLiteral("PNG Image (*.png)"), QStringLiteral("JPEG Image (*.jpg *.jpeg)"),
                               QStringLiteral("TIFF Image (*.tiff *.tif)"), QStringLiteral("PDF Document (*.pdf)"),
                               QStringLiteral("HEIC Image (*.heic *.heif)")}));
        EXPECT_EQ(dialog->selectedNameFilter(), u"PNG Image (*.png)");
        dialog->selectNameFilter(c.filter);
        dialog->selectFile(folder.filePath(c.typed));
        static_cast<QDialog*>(dialog)->accept();
        const QString written = folder.filePath(c.written);
        ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(written) && QFileInfo(written).size() > 0; }));
        if (c.format == "pdf") {
            QFile file(written);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_TRUE(file.read(5) == "%PDF-");
            continue;
        }
        QImageReader reader(written);
        EXPECT_EQ(reader.format(), c.format);
        const QImage image = reader.read();
        ASSERT_EQ(image.size(), QSize(30, 20));
        if (c.format == "jpeg") {
            // JPEG keeps no alpha: what was see-through is white, not black.
            const QColor paper = image.pixelColor(3, 10);
            EXPECT_GT(paper.red(), 245);
            EXPECT_GT(paper.green(), 245);
            EXPECT_GT(paper.blue(), 245);
            EXPECT_GT(image.pixelColor(25, 10).red(), 230);
            EXPECT_LT(image.pixelColor(25, 10).green(), 30);
        } else {
            EXPECT_EQ(image.pixelColor(3, 10).alpha(), 0);
        }
    }
}

// Without a default export location the dialog opens in Documents, or beside the session's file
// once it has one; never in the folder the program was started in.
TEST_F(ExportFlowTest, WithoutADefaultLocationTheDialogOpensInDocumentsOrBesideTheSessionsFile)
{
    QTemporaryDir started, saved;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(started.path()));
    UserPreferences preferences = state.userPreferences();
    preferences.defaultExportLocation.reset();
    state.setUserPreferences(preferences);

    QFileDialog* dialog = startExport();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(QDir(dialog->directory()).canonicalPath(),
              QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)).canonicalPath());
    dialog->reject();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    const QString path = saved.filePath(QStringLiteral("poster.ora"));
    model.saveSessionAs(path);
    ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(path); }));
    dialog = startExport();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(QDir(dialog->directory()).canonicalPath(), QDir(saved.path()).canonicalPath());
    dialog->reject();
    QDir::setCurrent(previous);
}
