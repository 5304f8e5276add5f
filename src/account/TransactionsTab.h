#pragma once

#include "RemoteImageLoader.h"
#include "TransactionsList.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTableView;

namespace kivo {

class AppState;
class TransactionsTableModel;

// The main window's Transactions tab: the signed-in account's transactions page by page, with a
// search over the page, thumbnails, links to the web pages and the paging bar. It shows
// TransactionsList's state and forwards the user's input.
class TransactionsTab : public QWidget {
    Q_OBJECT
public:
    explicit TransactionsTab(AppState& appState, QWidget* parent = nullptr);

    TransactionsList& list() { return m_list; }
    QLineEdit* searchField() const { return m_searchField; }
    QPushButton* refreshButton() const { return m_refreshButton; }
    TransactionsTableModel* model() const { return m_model; }
    // The page on show: the prompt, the error, the empty list or the table.
    QWidget* currentContent() const;
    QWidget* promptPage() const { return m_promptPage; }
    QWidget* errorPage() const { return m_errorPage; }
    QWidget* emptyPage() const { return m_emptyPage; }
    QWidget* tablePage() const { return m_tablePage; }
    QPushButton* openSettingsButton() const { return m_openSettingsButton; }
    QPushButton* retryButton() const { return m_retryButton; }
    QLabel* errorLabel() const { return m_errorLabel; }
    QPushButton* previousButton() const { return m_previousButton; }
    QPushButton* nextButton() const { return m_nextButton; }
    QLabel* pageLabel() const { return m_pageLabel; }
    QLabel* rangeLabel() const { return m_rangeLabel; }
    QWidget* pagingBar() const { return m_pagingBar; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildPromptPage();
    QWidget* buildErrorPage();
    QWidget* buildEmptyPage();
    QWidget* buildTablePage();
    void refresh();
    void showContextMenu(const QPoint& position);

    TransactionsList m_list;
    RemoteImageLoader m_thumbnails;
    TransactionsTableModel* m_model = nullptr;

    QLineEdit* m_searchField = nullptr;
    QPushButton* m_refreshButton = nullptr;
    QWidget* m_headerBusy = nullptr;
    QStackedWidget* m_content = nullptr;
    QWidget* m_promptPage = nullptr;
    QPushButton* m_openSettingsButton = nullptr;
    QWidget* m_errorPage = nullptr;
    QLabel* m_errorLabel = nullptr;
    QPushButton* m_retryButton = nullptr;
    QWidget* m_emptyPage = nullptr;
    QWidget* m_emptyLoading = nullptr;
    QWidget* m_emptyNothing = nullptr;
    QWidget* m_tablePage = nullptr;
    QTableView* m_table = nullptr;
    QWidget* m_pagingBar = nullptr;
    QPushButton* m_previousButton = nullptr;
    QPushButton* m_nextButton = nullptr;
    QLabel* m_pageLabel = nullptr;
    QLabel* m_rangeLabel = nullptr;
};

} // namespace kivo
