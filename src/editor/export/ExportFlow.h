#pragma once

#include "core/UserPreferences.h"

#include <QImage>
#include <QString>

#include <functional>
#include <optional>

class QMessageBox;
class QWidget;

namespace kivo {

class ImageEditorModel;

// The editor's alert ("Background Removal") with one "OK" button, window-modal over `parent`.
QMessageBox* showEditorAlert(QWidget* parent, const QString& message);

// The save dialog of an export, not blocking the window: it proposes the name that the
// preferences' naming pattern gives, offers the default format's type and opens in the default
// export folder, else in `folder`. `done` receives the chosen path, or nothing when the user
// cancels.
void showExportDialog(QWidget* parent, const std::optional<QString>& suggestedName, const UserPreferences& preferences,
                      const QString& folder, std::function<void(std::optional<QString>)> done);

// The export flow for one image: the save dialog, then encoding and moving the file into place
// off the window's thread. A failure is shown in the editor's alert with its description.
void exportImageWithDialog(QWidget* parent, const QImage& image, const std::optional<QString>& suggestedName,
                           const UserPreferences& preferences);

// The editor's export: the selected session flattened with the overlay strokes, named after the
// session. Nothing without a session or an image to flatten.
void exportCanvas(QWidget* parent, const ImageEditorModel& model);

} // namespace kivo
