#include "ToolPanel.h"

#include "ColorButton.h"
#include "ToolButton.h"

#include "editor/canvas/EditorIcons.h"
#include "editor/document/ImageEditorModel.h"

#include "core/WidgetStyle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

namespace kivo {

namespace {

struct FilterLook {
    FilterType type;
    const char* symbol;
};

constexpr std::array<FilterLook, 5> filterLooks{{
    {FilterType::brightness, "sun-max"},
    {FilterType::contrast, "circle-lefthalf-filled"},
    {FilterType::saturation, "drop"},
    {FilterType::blur, "circle-dotted"},
    {FilterType::sharpen, "circle-hexagongrid"},
}};

QGroupBox* group(const QString& title, QLayout* content)
{
    auto* box = new QGroupBox(title);
    box->setLayout(content);
    return box;
}

} // namespace

ToolPanel::ToolPanel(ImageEditorModel& model, QWidget* parent)
    : QScrollArea(parent)
    , m_model(model)
{
    auto* header = new QLabel(tr("Tools"));
    styleFont(header, 1.0, QFont::Bold);

    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(12);
    layout->addWidget(header);
    layout->addWidget(buildDrawingGroup());
    layout->addWidget(buildSelectionGroup());
    layout->addWidget(buildCropGroup());
    layout->addWidget(buildFiltersGroup());
    layout->addWidget(buildCanvasGroup());
    layout->addStretch();

    setWidget(column);
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setMinimumWidth(column->sizeHint().width() + 16);

    connect(&model, &ImageEditorModel::toolChanged, this, &ToolPanel::refreshTools);
    connect(&model, &ImageEditorModel::selectedSessionChanged, this, &ToolPanel::refreshSession);
    connect(&model, &ImageEditorModel::removingBackgroundChanged, this, &ToolPanel::refreshTools);
    refreshTools();
    refreshSession();
}

QWidget* ToolPanel::buildDrawingGroup()
{
    m_brushButton = new ToolButton(tr("Brush"), QStringLiteral("paintbrush"));
    // The pen draws hard-edged lines, where the brush's edges are soft.
    m_penButton = new ToolButton(tr("Pen"), QStringLiteral("pen-nib"));
    connect(m_penButton, &QToolButton::clicked, &m_model, &ImageEditorModel::choosePen);
    m_selectionButton = new ToolButton(tr("Selection"), QStringLiteral("lasso-sparkles"));
    m_cropButton = new ToolButton(tr("Crop"), QStringLiteral("crop"));
    connect(m_brushButton, &QToolButton::clicked, &m_model, &ImageEditorModel::chooseBrush);
    connect(m_selectionButton, &QToolButton::clicked, &m_model, &ImageEditorModel::chooseSelection);
    connect(m_cropButton, &QToolButton::clicked, &m_model, &ImageEditorModel::chooseCrop);

    const QColor text = palette().color(QPalette::WindowText);
    auto* eraserMenu = new QMenu(this);
    m_eraserToolAction = eraserMenu->addAction(editorIcon(QStringLiteral("eraser"), text), tr("Eraser Tool"));
    m_removeBackgroundAction = eraserMenu->addAction(editorIcon(QStringLiteral("wand-and-stars"), text), tr("Remove Background"));
    connect(m_eraserToolAction, &QAction::triggered, &m_model, &ImageEditorModel::chooseEraser);
    connect(m_removeBackgroundAction, &QAction::triggered, &m_model, &ImageEditorModel::removeBackgroundInEditor);
    // The menu's label: the eraser symbol, "Eraser" and a chevron.
    m_eraserMenuButton = new ToolButton(tr("Eraser") + QStringLiteral(" ▾"), QStringLiteral("eraser"));
    m_eraserMenuButton->setMenu(eraserMenu);
    m_eraserMenuButton->setPopupMode(QToolButton::InstantPopup);

    auto* tools = new QHBoxLayout;
    tools->setSpacing(2);
    for (ToolButton* button : {m_brushButton, m_penButton, m_eraserMenuButton, m_selectionButton, m_cropButton})
        tools->addWidget(button);
    tools->addStretch();

    m_brushColorButton = new ColorButton(m_model.brushColor());
    connect(m_brushColorButton, &ColorButton::colorPicked, &m_model, &ImageEditorModel::setBrushColor);
    auto* colorRow = new QHBoxLayout;
    colorRow->addWidget(new QLabel(tr("Brush Color")));
    colorRow->addStretch();
    colorRow->addWidget(m_brushColorButton);

    m_brushSizeSlider = new QSlider(Qt::Horizontal);
    m_brushSizeSlider->setRange(1, 64);
    m_brushSizeSlider->setFixedWidth(120);
    m_brushSizeSlider->setValue(int(m_model.brushSize()));
    m_brushSizeLabel = new QLabel;
    m_brushSizeLabel->setMinimumWidth(22);
    connect(m_brushSizeSlider, &QSlider::valueChanged, &m_model, [this](int value) { m_model.setBrushSize(value); });
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(new QLabel(tr("Brush Size")));
    sizeRow->addStretch();
    sizeRow->addWidget(m_brushSizeSlider);
    sizeRow->addWidget(m_brushSizeLabel);

    auto* content = new QVBoxLayout;
    content->addLayout(tools);
    content->addLayout(colorRow);
    content->addLayout(sizeRow);
    return group(tr("Drawing"), content);
}

QWidget* ToolPanel::buildSelectionGroup()
{
    m_copyButton = new QPushButton(tr("Copy"));
    m_cutButton = new QPushButton(tr("Cut"));
    m_deleteButton = new QPushButton(tr("Delete"));
    m_pasteButton = new QPushButton(tr("Paste"));
    connect(m_pasteButton, &QPushButton::clicked, &m_model, &ImageEditorModel::paste);
    connect(m_copyButton, &QPushButton::clicked, &m_model, &ImageEditorModel::copySelection);
    connect(m_cutButton, &QPushButton::clicked, &m_model, &ImageEditorModel::cutSelection);
    connect(m_deleteButton, &QPushButton::clicked, &m_model, &ImageEditorModel::deleteSelection);
    auto* row = new QHBoxLayout;
    row->addWidget(m_copyButton);
    row->addWidget(m_cutButton);
    row->addWidget(m_deleteButton);
    row->addWidget(m_pasteButton);
    m_selectionGroup = group(tr("Selection"), row);
    return m_selectionGroup;
}

QWidget* ToolPanel::buildCropGroup()
{
    m_applyCropButton = new QPushButton(tr("Apply Crop"));
    makeProminent(m_applyCropButton);
    m_cancelCropButton = new QPushButton(tr("Cancel"));
    connect(m_applyCropButton, &QPushButton::clicked, &m_model, &ImageEditorModel::cropToSelection);
    connect(m_cancelCropButton, &QPushButton::clicked, &m_model, &ImageEditorModel::clearSelection);
    auto* row = new QHBoxLayout;
    row->addWidget(m_applyCropButton);
    row->addWidget(m_cancelCropButton);
    m_cropGroup = group(tr("Crop"), row);
    return m_cropGroup;
}

QWidget* ToolPanel::buildFiltersGroup()
{
    auto* content = new QVBoxLayout;
    const QColor text = palette().color(QPalette::WindowText);
    for (const FilterLook& look : filterLooks) {
        auto* box = new QCheckBox(filterName(look.type));
        box->setIcon(editorIcon(QString::fromLatin1(look.symbol), text));
        const FilterType type = look.type;
        connect(box, &QCheckBox::clicked, &m_model, [this, type](bool checked) { m_model.toggleFilter(type, checked); });
        m_filterBoxes[size_t(type)] = box;
        content->addWidget(box);
    }
    return group(tr("Filters"), content);
}

QWidget* ToolPanel::buildCanvasGroup()
{
    m_backgroundMenu = new QComboBox;
    for (CanvasBackground background : allCases<CanvasBackground>())
        m_backgroundMenu->addItem(rawValue(background));
    connect(m_backgroundMenu, &QComboBox::activated, &m_model,
            [this](int index) { m_model.setCanvasBackground(allCases<CanvasBackground>()[size_t(index)]); });
    auto* backgroundRow = new QHBoxLayout;
    backgroundRow->addWidget(new QLabel(tr("Background:")));
    backgroundRow->addWidget(m_backgroundMenu, 1);

    m_customColorLabel = new QLabel(tr("Color"));
    m_customColorButton = new ColorButton(Qt::white);
    connect(m_customColorButton, &ColorButton::colorPicked, &m_model, &ImageEditorModel::setCustomBackgroundColor);
    auto* colorRow = new QHBoxLayout;
    colorRow->addWidget(m_customColorLabel);
    colorRow->addStretch();
    colorRow->addWidget(m_customColorButton);

    auto* content = new QVBoxLayout;
    content->addLayout(backgroundRow);
    content->addLayout(colorRow);
    return group(tr("Canvas"), content);
}

void ToolPanel::refreshTools()
{
    const DrawingTool::Kind kind = m_model.currentTool().kind;
    m_brushButton->setActive(kind == DrawingTool::Kind::marker);
    m_penButton->setActive(kind == DrawingTool::Kind::pen);
    m_eraserMenuButton->setActive(kind == DrawingTool::Kind::eraser);
    m_selectionButton->setActive(kind == DrawingTool::Kind::selection);
    m_cropButton->setActive(kind == DrawingTool::Kind::crop);
    m_selectionGroup->setVisible(kind == DrawingTool::Kind::selection);
    m_cropGroup->setVisible(kind == DrawingTool::Kind::crop);
    m_removeBackgroundAction->setEnabled(!m_model.isRemovingBackground());
    m_brushColorButton->setColor(m_model.brushColor());
    m_brushSizeLabel->setText(QString::number(int(m_model.brushSize())));
}

void ToolPanel::refreshSession()
{
    for (FilterType type : allFilterTypes)
        m_filterBoxes[size_t(type)]->setChecked(m_model.isFilterEnabled(type));
    const auto& session = m_model.selectedSession();
    const CanvasBackground background = session ? session->canvasBackground : CanvasBackground::transparent;
    m_backgroundMenu->setCurrentIndex(int(background));
    m_customColorLabel->setVisible(background == CanvasBackground::custom);
    m_customColorButton->setVisible(background == CanvasBackground::custom);
    if (session)
        m_customColorButton->setColor(session->customBackgroundColor);
}

} // namespace kivo
