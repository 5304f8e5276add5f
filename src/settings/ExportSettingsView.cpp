#include "ExportSettingsView.h"

#include "PreferenceControls.h"
#include "core/NotificationCenter.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>

#include <array>

namespace kivo {

namespace {

// The formats offered here; PDF is not one of them.
constexpr std::array<ExportFormat, 4> offeredFormats{ExportFormat::png, ExportFormat::jpeg, ExportFormat::tiff,
                                                     ExportFormat::heic};

struct NamingChoice {
    const char* label;
    const char* pattern;
};
constexpr std::array<NamingChoice, 4> namingChoices{{{"Original Name", "original"},
                                                     {"Original + Suffix", "original_suffix"},
                                                     {"Timestamp", "timestamp"},
                                                     {"Custom Pattern", "custom"}}};

QComboBox* namingPatternPicker(AppState& appState)
{
    auto* picker = new QComboBox;
    picker->setObjectName(QStringLiteral("namingPattern"));
    for (const NamingChoice& choice : namingChoices)
        picker->addItem(QObject::tr(choice.label), QString::fromLatin1(choice.pattern));
    QObject::connect(picker, &QComboBox::activated, picker, [&appState, picker](int index) {
        const QString pattern = picker->itemData(index).toString();
        editPreferences(appState, kExportPreferencesChanged, [&](UserPreferences& p) { p.exportNamingPattern = pattern; });
    });
    refreshOnPreferenceChanges(appState, picker, [&appState, picker] {
        const QSignalBlocker blocker(picker);
        picker->setCurrentIndex(picker->findData(appState.userPreferences().exportNamingPattern));
    });
    return picker;
}

} // namespace

ExportSettingsView::ExportSettingsView(AppState& appState, QWidget* parent)
    : QWidget(parent)
    , m_appState(appState)
{
    using P = UserPreferences;

    auto* format = settingsSection(tr("Default Export Format"));
    auto* formatRow = new QHBoxLayout;
    formatRow->addWidget(new QLabel(tr("Format")));
    formatRow->addWidget(preferencePicker(appState, &P::defaultExportFormat, offeredFormats, kExportPreferencesChanged));
    sectionLayout(format)->addLayout(formatRow);

    auto* quality = settingsSection(tr("JPEG Quality"));
    sectionLayout(quality)->addWidget(
        preferencePercentSlider(appState, tr("Quality:"), &P::jpegQuality, 0.1, 1.0, kExportPreferencesChanged));

    auto* location = settingsSection(tr("Export Location"));
    auto* locationRow = new QHBoxLayout;
    auto* path = new QLabel;
    path->setObjectName(QStringLiteral("defaultLocation"));
    path->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* choose = new QPushButton(tr("Choose..."));
    connect(choose, &QPushButton::clicked, this, &ExportSettingsView::chooseDefaultLocation);
    locationRow->addWidget(new QLabel(tr("Default Location:")));
    locationRow->addWidget(path, 1);
    locationRow->addWidget(choose);
    sectionLayout(location)->addLayout(locationRow);
    sectionLayout(location)->addWidget(preferenceToggle(appState, tr("Create subfolder for exports"),
                                                        &P::createExportSubfolder, kExportPreferencesChanged));
    auto* subfolder = new QWidget;
    subfolder->setObjectName(QStringLiteral("subfolderName"));
    auto* subfolderRow = new QHBoxLayout(subfolder);
    subfolderRow->setContentsMargins(0, 0, 0, 0);
    subfolderRow->addWidget(new QLabel(tr("Subfolder name")));
    subfolderRow->addWidget(preferenceTextField(appState, &P::exportSubfolderName, kExportPreferencesChanged), 1);
    sectionLayout(location)->addWidget(subfolder);

    auto* naming = settingsSection(tr("File Naming"));
    auto* form = new QFormLayout;
    form->addRow(tr("Naming Pattern"), namingPatternPicker(appState));
    auto* customLabel = new QLabel(tr("Custom pattern"));
    auto* custom = preferenceTextField(appState, &P::customExportPattern, kExportPreferencesChanged);
    custom->setObjectName(QStringLiteral("customPattern"));
    form->addRow(customLabel, custom);
    auto* variables = new QLabel(tr("Available variables: {original}, {date}, {time}, {counter}"));
    variables->setForegroundRole(QPalette::PlaceholderText);
    form->addRow(QString(), variables);
    auto* suffix = preferenceTextField(appState, &P::exportSuffix, kExportPreferencesChanged);
    suffix->setObjectName(QStringLiteral("suffix"));
    form->addRow(tr("Suffix"), suffix);
    sectionLayout(naming)->addLayout(form);

    refreshOnPreferenceChanges(appState, this, [this, path, subfolder, form, custom, variables] {
        const UserPreferences& p = m_appState.userPreferences();
        path->setText(p.defaultExportLocation ? p.defaultExportLocation->toLocalFile() : tr("Same as source"));
        subfolder->setVisible(p.createExportSubfolder);
        const bool customPattern = p.exportNamingPattern == u"custom";
        form->setRowVisible(custom, customPattern);
        form->setRowVisible(variables, customPattern);
    });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(format);
    layout->addWidget(quality);
    layout->addWidget(location);
    layout->addWidget(naming);
    layout->addStretch(1);
}

void ExportSettingsView::chooseDefaultLocation()
{
    QFileDialog dialog(this);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::Accept, tr("Choose"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedUrls().isEmpty())
        return;
    const QUrl folder = dialog.selectedUrls().constFirst();
    editPreferences(m_appState, {}, [&](UserPreferences& p) { p.defaultExportLocation = folder; });
}

} // namespace kivo
