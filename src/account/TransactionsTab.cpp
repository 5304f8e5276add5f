#include "TransactionsTab.h"

#include "TransactionsTableModel.h"

#include "core/AppState.h"
#include "core/WidgetStyle.h"
#include "removal/batch/BusyIndicator.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace kivo {

namespace {

constexpr int kThumbnailPixels = TransactionImagesDelegate::thumbnailSide * 2;

} // namespace

TransactionsTab::TransactionsTab(AppState& appState, QWidget* parent)
    : QWidget(parent)
    , m_list(appState)
    , m_thumbnails(QSize(kThumbnailPixels, kThumbnailPixels))
    , m_model(new TransactionsTableModel(this))
{
    setAutoFillBackground(true);
    m_content = new QStackedWidget;
    m_content->addWidget(buildPromptPage());
    m_content->addWidget(buildErrorPage());
    m_content->addWidget(buildEmptyPage());
    m_content->addWidget(buildTablePage());

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(12);
    layout->addWidget(buildHeader());
    layout->addWidget(m_content, 1);

    connect(&m_list, &TransactionsList::changed, this, &TransactionsTab::refresh);
    connect(&m_thumbnails, &RemoteImageLoader::finished, m_model, &TransactionsTableModel::imageArrived);
    // Signing in or out while the tab is on screen counts as showing it again.
    connect(&appState, &AppState::isAuthenticatedChanged, this, [this] {
        if (isVisible())
            m_list.tabShown();
    });
    refresh();
}

QWidget* TransactionsTab::buildHeader()
{
    auto* title = new QLabel(tr("Transactions"));
    styleFont(title, 1.3, QFont::DemiBold);

    m_searchField = new QLineEdit;
    m_searchField->setPlaceholderText(tr("Search"));
    m_searchField->setClearButtonEnabled(true);
    m_searchField->setMaximumWidth(280);
    m_searchField->setStyleSheet(QStringLiteral("QLineEdit { border-radius: 6px; padding: 3px 6px;"
                                                " border: 1px solid palette(mid); }"));
    connect(m_searchField, &QLineEdit::textChanged, &m_list, &TransactionsList::setSearchQuery);

    m_refreshButton = new QPushButton(tr("Refresh"));
    connect(m_refreshButton, &QPushButton::clicked, &m_list, &TransactionsList::refresh);
    m_headerBusy = new BusyIndicator;

    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addWidget(title);
    row->addStretch();
    row->addWidget(m_searchField, 1);
    row->addWidget(m_refreshButton);
    row->addWidget(m_headerBusy);
    return header;
}

QWidget* TransactionsTab::buildPromptPage()
{
    auto* text = new QLabel(tr("Sign in to view your transactions"));
    styleFont(text, 1.1, QFont::DemiBold);
    m_openSettingsButton = new QPushButton(tr("Open Settings"));
    makeProminent(m_openSettingsButton);
    connect(m_openSettingsButton, &QPushButton::clicked, &m_list, &TransactionsList::openAccountSettings);
    m_promptPage = centredColumn({symbolLabel(QStringLiteral(":/account-icons/person-crop-circle-badge-exclamationmark.svg"),
                                              palette().color(QPalette::PlaceholderText), 48),
                                  text, m_openSettingsButton},
                                 12);
    return m_promptPage;
}

QWidget* TransactionsTab::buildErrorPage()
{
    m_errorLabel = new QLabel;
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setAlignment(Qt::AlignCenter);
    m_errorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_errorLabel->setStyleSheet(QStringLiteral("color: #ff3b30;"));
    styleFont(m_errorLabel, 0.85);
    m_retryButton = new QPushButton(tr("Retry"));
    connect(m_retryButton, &QPushButton::clicked, &m_list, &TransactionsList::retry);
    // The label spans the page (its text centred): a wrapping label squeezed into a centred slot
    // of its own preferred width shows only its first line.
    m_errorPage = new QWidget;
    auto* layout = new QVBoxLayout(m_errorPage);
    layout->setContentsMargins(80, 0, 80, 0);
    layout->setSpacing(12);
    layout->addStretch();
    layout->addWidget(m_errorLabel);
    layout->addWidget(m_retryButton, 0, Qt::AlignHCenter);
    layout->addStretch();
    return m_errorPage;
}

QWidget* TransactionsTab::buildEmptyPage()
{
    m_emptyLoading = new BusyIndicator;
    auto* text = secondaryLabel(tr("No transactions found"));
    text->setWordWrap(false);
    styleFont(text, 1.1, QFont::DemiBold);
    m_emptyNothing = centredColumn(
        {symbolLabel(QStringLiteral(":/account-icons/tray.svg"), palette().color(QPalette::PlaceholderText), 48), text},
        12);
    m_emptyPage = centredColumn({m_emptyLoading, m_emptyNothing});
    return m_emptyPage;
}

QWidget* TransactionsTab::buildTablePage()
{
    m_table = new QTableView;
    m_table->setModel(m_model);
    m_table->setItemDelegateForColumn(TransactionsTableModel::imagesColumn,
                                      new TransactionImagesDelegate(m_thumbnails, m_table));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->setWordWrap(false);
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(TransactionImagesDelegate::thumbnailSide + 12);
    QHeaderView* columns = m_table->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->resizeSection(TransactionsTableModel::idColumn, 120);
    columns->resizeSection(TransactionsTableModel::dateColumn, 160);
    columns->setSectionResizeMode(TransactionsTableModel::dateColumn, QHeaderView::Fixed);
    columns->resizeSection(TransactionsTableModel::typeAndAmountColumn, 220);
    columns->setSectionResizeMode(TransactionsTableModel::routeAndSiteColumn, QHeaderView::Stretch);
    columns->resizeSection(TransactionsTableModel::imagesColumn, 2 * TransactionImagesDelegate::thumbnailSide + 20);
    columns->setSectionResizeMode(TransactionsTableModel::imagesColumn, QHeaderView::Fixed);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);

    connect(m_table, &QTableView::clicked, this, [this](const QModelIndex& index) {
        if (index.column() == TransactionsTableModel::idColumn)
            m_list.openTransactionPage(m_model->rows().at(index.row()).id);
    });
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        QModelIndexList selected = m_table->selectionModel()->selectedRows();
        std::sort(selected.begin(), selected.end());
        QStringList ids;
        for (const QModelIndex& index : selected)
            ids << m_model->rows().at(index.row()).id;
        m_list.setSelection(ids);
    });
    connect(m_table, &QTableView::customContextMenuRequested, this, &TransactionsTab::showContextMenu);

    m_previousButton = new QPushButton(tr("Previous"));
    connect(m_previousButton, &QPushButton::clicked, &m_list, &TransactionsList::previousPage);
    m_nextButton = new QPushButton(tr("Next"));
    connect(m_nextButton, &QPushButton::clicked, &m_list, &TransactionsList::nextPage);
    m_pageLabel = new QLabel;
    m_rangeLabel = secondaryLabel(QString(), 0.85);
    m_rangeLabel->setWordWrap(false);
    m_pagingBar = new QWidget;
    auto* paging = new QHBoxLayout(m_pagingBar);
    paging->setContentsMargins(0, 0, 0, 0);
    paging->addWidget(m_previousButton);
    paging->addWidget(m_pageLabel);
    paging->addWidget(m_nextButton);
    paging->addStretch();
    paging->addWidget(m_rangeLabel);

    m_tablePage = new QWidget;
    auto* layout = new QVBoxLayout(m_tablePage);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_pagingBar);
    return m_tablePage;
}

QWidget* TransactionsTab::currentContent() const
{
    return m_content->currentWidget();
}

void TransactionsTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_list.tabShown();
}

void TransactionsTab::refresh()
{
    const QList<TransactionItem> rows = m_list.visibleRows();
    m_model->setRows(rows, m_list.apiBaseURL());
    m_headerBusy->setVisible(m_list.isLoading());

    if (m_list.isSettingsPromptVisible()) {
        m_content->setCurrentWidget(m_promptPage);
    } else if (const auto error = m_list.errorMessage(); error && !error->isEmpty()) {
        m_errorLabel->setText(*error);
        m_content->setCurrentWidget(m_errorPage);
    } else if (rows.isEmpty()) {
        m_emptyLoading->setVisible(m_list.isLoading());
        m_emptyNothing->setVisible(!m_list.isLoading());
        m_content->setCurrentWidget(m_emptyPage);
    } else {
        m_content->setCurrentWidget(m_tablePage);
    }

    const PagingBar bar = m_list.pagingBar();
    m_pagingBar->setVisible(bar.visible);
    m_previousButton->setEnabled(bar.previousEnabled);
    m_nextButton->setEnabled(bar.nextEnabled);
    m_pageLabel->setText(bar.pageText);
    m_rangeLabel->setText(bar.range.value_or(QString()));
    m_rangeLabel->setVisible(bar.range.has_value());
}

void TransactionsTab::showContextMenu(const QPoint& position)
{
    if (!m_table->indexAt(position).isValid())
        return;
    QMenu menu(this);
    menu.addAction(tr("View Online"), &m_list, &TransactionsList::viewOnline);
    menu.exec(m_table->viewport()->mapToGlobal(position));
}

} // namespace kivo
