#include "LayerPanel.h"

#include "ToolButton.h"

#include "editor/canvas/EditorIcons.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/document/SessionEdits.h"

#include "core/WidgetStyle.h"

#include <QApplication>
#include <QComboBox>
#include <QDrag>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollArea>
#include <QSlider>
#include <QToolButton>

namespace kivo {

namespace {

QLabel* symbol(const QString& name, const QColor& color)
{
    return symbolLabel(QStringLiteral(":/editor-icons/%1.svg").arg(name), color, 16);
}

} // namespace

constexpr QSize thumbnailSize{36, 28};

LayerItemView::LayerItemView(const ImageLayer& layer, bool isSelected, const QPixmap& thumbnail, QWidget* parent)
    : QFrame(parent)
    , m_layer(layer)
    , m_isSelected(isSelected)
{
    setObjectName(QStringLiteral("layerRow"));
    setAcceptDrops(true);
    setCursor(Qt::PointingHandCursor);
    QColor highlight = palette().color(QPalette::Highlight);
    highlight.setAlphaF(0.18f);
    setStyleSheet(QStringLiteral("QFrame#layerRow { border-radius: 6px; background: %1; }")
                      .arg(isSelected ? highlight.name(QColor::HexArgb) : QStringLiteral("transparent")));

    const QColor primary = palette().color(QPalette::WindowText);
    const QColor secondary = palette().color(QPalette::PlaceholderText);
    QLabel* handle = symbol(QStringLiteral("line-3-horizontal"), secondary);
    handle->setToolTip(tr("Drag to reorder layer"));
    m_name = new QLabel(layer.name);
    m_name->setMinimumWidth(20);
    m_name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_name->setToolTip(layer.name);
    m_thumbnail = new QLabel;
    m_thumbnail->setFixedSize(thumbnailSize);
    m_thumbnail->setAlignment(Qt::AlignCenter);
    m_thumbnail->setPixmap(thumbnail);

    m_visibilityButton = new QToolButton;
    m_visibilityButton->setAutoRaise(true);
    m_visibilityButton->setFixedWidth(20);
    m_visibilityButton->setIcon(layer.isVisible ? editorIcon(QStringLiteral("eye"), primary)
                                                : editorIcon(QStringLiteral("eye-slash"), secondary));
    m_visibilityButton->setToolTip(layer.isVisible ? tr("Hide layer") : tr("Show layer"));
    connect(m_visibilityButton, &QToolButton::clicked, this, [this] { emit visibilityToggled(m_layer.id); });

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(6, 4, 6, 4);
    row->addWidget(handle);
    row->addWidget(m_thumbnail);
    row->addWidget(m_name, 1);
    row->addWidget(m_visibilityButton);
}

void LayerItemView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_pressed = true;
        m_pressPosition = event->position().toPoint();
    }
}

void LayerItemView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_pressed || (event->position().toPoint() - m_pressPosition).manhattanLength() < QApplication::startDragDistance())
        return;
    m_pressed = false;
    auto* drag = new QDrag(this);
    auto* data = new QMimeData;
    data->setText(m_layer.id.toString(QUuid::WithoutBraces));
    drag->setMimeData(data);
    drag->setPixmap(grab());
    drag->exec(Qt::MoveAction);
}

void LayerItemView::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit selectRequested(m_layer.id);
    m_pressed = false;
}

void LayerItemView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit renameRequested(m_layer.id);
}

void LayerItemView::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    // A long name ends in "…" within the room the row leaves it.
    m_name->setText(m_name->fontMetrics().elidedText(m_layer.name, Qt::ElideRight, std::max(m_name->width(), 20)));
}

void LayerItemView::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
}

void LayerItemView::dropEvent(QDropEvent* event)
{
    const QUuid dragged(event->mimeData()->text().trimmed());
    if (dragged.isNull())
        return;
    event->acceptProposedAction();
    emit layerDropped(dragged, m_layer.id);
}

LayerPanel::LayerPanel(ImageEditorModel& model, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
{
    auto* title = new QLabel(tr("Layers"));
    styleFont(title, 1.0, QFont::Bold);
    m_addButton = new QToolButton;
    m_addButton->setAutoRaise(true);
    m_addButton->setIcon(editorIcon(QStringLiteral("plus"), palette().color(QPalette::WindowText)));
    m_addButton->setToolTip(tr("Add Layer"));
    connect(m_addButton, &QToolButton::clicked, &model, &ImageEditorModel::addLayer);
    m_duplicateButton = new QToolButton;
    m_duplicateButton->setAutoRaise(true);
    m_duplicateButton->setText(tr("Duplicate"));
    m_duplicateButton->setToolTip(tr("Duplicate Layer"));
    connect(m_duplicateButton, &QToolButton::clicked, this, [this] {
        if (const auto id = selectedLayerId())
            m_model.duplicateLayer(*id);
    });
    m_deleteButton = new QToolButton;
    m_deleteButton->setAutoRaise(true);
    m_deleteButton->setIcon(editorIcon(QStringLiteral("xmark"), palette().color(QPalette::WindowText)));
    m_deleteButton->setToolTip(tr("Delete Layer"));
    connect(m_deleteButton, &QToolButton::clicked, this, [this] {
        if (const auto id = selectedLayerId())
            m_model.deleteLayer(*id);
    });
    auto* header = new QHBoxLayout;
    header->addWidget(title);
    header->addStretch();
    header->addWidget(m_duplicateButton);
    header->addWidget(m_deleteButton);
    header->addWidget(m_addButton);

    auto* rowsHolder = new QWidget;
    m_rows = new QVBoxLayout(rowsHolder);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(2);
    // Below the last row: a layer dropped here goes to the bottom.
    m_bottomDropArea = new QWidget;
    m_bottomDropArea->setAcceptDrops(true);
    m_bottomDropArea->setMinimumHeight(24);
    m_bottomDropArea->installEventFilter(this);
    m_rows->addWidget(m_bottomDropArea, 1);
    auto* scroll = new QScrollArea;
    scroll->setWidget(rowsHolder);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addLayout(header);
    layout->addWidget(scroll, 1);
    layout->addWidget(buildProperties());
    setMinimumWidth(220);
    setFocusPolicy(Qt::ClickFocus);

    connect(&model, &ImageEditorModel::selectedSessionChanged, this, &LayerPanel::refresh);
    refresh();
}

QWidget* LayerPanel::buildProperties()
{
    m_opacitySlider = new QSlider(Qt::Horizontal);
    m_opacitySlider->setRange(0, 100);
    m_opacitySlider->setFixedWidth(100);
    m_opacityLabel = new QLabel;
    m_opacityLabel->setMinimumWidth(36);
    connect(m_opacitySlider, &QSlider::valueChanged, this, [this](int value) {
        m_opacityLabel->setText(QStringLiteral("%1%").arg(value));
        const auto id = selectedLayerId();
        if (!id)
            return;
        // While the slider is dragged the value only shows; its release makes the step.
        if (m_opacitySlider->isSliderDown())
            m_model.previewLayerOpacity(*id, value / 100.0);
        else
            m_model.setLayerOpacity(*id, value / 100.0);
    });
    connect(m_opacitySlider, &QSlider::sliderReleased, this, [this] {
        if (const auto id = selectedLayerId())
            m_model.setLayerOpacity(*id, m_opacitySlider->value() / 100.0);
    });
    auto* opacityRow = new QHBoxLayout;
    opacityRow->addWidget(new QLabel(tr("Opacity:")));
    opacityRow->addWidget(m_opacitySlider);
    opacityRow->addWidget(m_opacityLabel);
    opacityRow->addStretch();

    m_blendMenu = new QComboBox;
    for (BlendMode mode : allCases<BlendMode>())
        m_blendMenu->addItem(rawValue(mode));
    connect(m_blendMenu, &QComboBox::activated, this, [this](int index) {
        if (const auto& session = m_model.selectedSession(); session && session->selectedLayer)
            m_model.setLayerBlendMode(session->selectedLayer->id, allCases<BlendMode>()[size_t(index)]);
    });
    auto* blendRow = new QHBoxLayout;
    blendRow->addWidget(new QLabel(tr("Blend:")));
    blendRow->addWidget(m_blendMenu, 1);

    auto* content = new QVBoxLayout;
    content->addLayout(opacityRow);
    content->addLayout(blendRow);
    m_properties = new QGroupBox(tr("Properties"));
    m_properties->setLayout(content);
    return m_properties;
}

QList<LayerItemView*> LayerPanel::rows() const
{
    QList<LayerItemView*> found;
    for (int i = 0; i < m_rows->count(); ++i)
        if (auto* row = qobject_cast<LayerItemView*>(m_rows->itemAt(i)->widget()))
            found << row;
    return found;
}

std::optional<QUuid> LayerPanel::selectedLayerId() const
{
    const auto& session = m_model.selectedSession();
    const ImageLayer* layer = session ? selectedLayerContent(*session) : nullptr;
    return layer ? std::optional(layer->id) : std::nullopt;
}

QPixmap LayerPanel::thumbnail(const QImage& image)
{
    if (auto found = m_thumbnails.constFind(image.cacheKey()); found != m_thumbnails.constEnd())
        return *found;
    // Nearest sampling: a 12-megapixel layer shrinks in well under a millisecond.
    QImage small = image.scaled(thumbnailSize, Qt::KeepAspectRatio, Qt::FastTransformation);
    QPixmap pixmap(small.size());
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintCheckerboard(painter, pixmap.rect(), 4);
    painter.drawImage(0, 0, small);
    painter.end();
    m_thumbnails.insert(image.cacheKey(), pixmap);
    return pixmap;
}

void LayerPanel::refresh()
{
    // A row may be the one whose click led here: it goes once its event is over.
    for (LayerItemView* row : rows()) {
        m_rows->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    const auto& session = m_model.selectedSession();
    const ImageLayer* selected = session ? selectedLayerContent(*session) : nullptr;
    QHash<qint64, QPixmap> previous;
    previous.swap(m_thumbnails);
    if (session) {
        // The top layer (the last) first.
        for (auto layer = session->layers.crbegin(); layer != session->layers.crend(); ++layer) {
            if (previous.contains(layer->image.cacheKey()))
                m_thumbnails.insert(layer->image.cacheKey(), previous.value(layer->image.cacheKey()));
            auto* row = new LayerItemView(*layer, selected && selected->id == layer->id, thumbnail(layer->image));
            connect(row, &LayerItemView::selectRequested, &m_model, &ImageEditorModel::selectLayer);
            connect(row, &LayerItemView::renameRequested, this, &LayerPanel::beginRename);
            connect(row, &LayerItemView::visibilityToggled, &m_model, &ImageEditorModel::toggleLayerVisibility);
            connect(row, &LayerItemView::layerDropped, this, [this](const QUuid& dragged, const QUuid& target) {
                const auto& current = m_model.selectedSession();
                if (current && dragged != target && findLayer(*current, dragged) && findLayer(*current, target))
                    m_model.moveLayer(dragged, target);
            });
            m_rows->insertWidget(m_rows->count() - 1, row);
        }
    }
    m_properties->setVisible(session && session->selectedLayer);
    m_duplicateButton->setEnabled(selected);
    m_deleteButton->setEnabled(selected && !selected->isBaseLayer);
    if (selected) {
        const QSignalBlocker blocker(m_opacitySlider);
        if (!m_opacitySlider->isSliderDown())
            m_opacitySlider->setValue(int(std::lround(selected->opacity * 100)));
        m_opacityLabel->setText(QStringLiteral("%1%").arg(m_opacitySlider->value()));
        m_blendMenu->setCurrentIndex(int(selected->blendMode));
    }
}

void LayerPanel::beginRename(const QUuid& layerId)
{
    for (LayerItemView* row : rows()) {
        if (row->layer().id != layerId)
            continue;
        auto* editor = new QLineEdit(row->layer().name, row);
        editor->setObjectName(QStringLiteral("renameField"));
        editor->setGeometry(row->nameLabel()->geometry());
        editor->selectAll();
        editor->show();
        editor->setFocus();
        connect(editor, &QLineEdit::editingFinished, this, [this, editor, layerId] {
            const QString name = editor->text();
            editor->deleteLater();
            m_model.renameLayer(layerId, name);
        });
        return;
    }
}

void LayerPanel::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) {
        if (const auto id = selectedLayerId()) {
            m_model.deleteLayer(*id);
            event->accept();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

bool LayerPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_bottomDropArea) {
        if (event->type() == QEvent::DragEnter) {
            auto* drag = static_cast<QDragEnterEvent*>(event);
            if (drag->mimeData()->hasText())
                drag->acceptProposedAction();
            return true;
        }
        if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            const QUuid dragged(drop->mimeData()->text().trimmed());
            const auto& session = m_model.selectedSession();
            if (!dragged.isNull() && session && findLayer(*session, dragged)) {
                drop->acceptProposedAction();
                m_model.moveLayer(dragged, QUuid());
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kivo
