#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace kivo {

// One of the editor's symbols (":/editor-icons/NAME.svg") drawn in one colour, as template
// images are.
QIcon editorIcon(const QString& name, const QColor& color);

} // namespace kivo
