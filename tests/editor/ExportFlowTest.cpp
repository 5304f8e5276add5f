// The export flow as the user meets it: the save dialog's proposal and the alert on failure.

#include "editor/export/ExportFlow.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/document/SessionEdits.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
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
