#pragma once

#include "core/DomainModel.h"

#include <QPointer>
#include <QUrl>
#include <QWidget>

class QLabel;

namespace kivo {

// One row of the Trigger tab's recent activity: the status icon, the file name (elided in the
// middle, the full name as its tooltip), the status in its colour, how long ago, and the reason
// of a failure. Redraws when the activity changes. A click opens the result with the desktop's
// handler, or the folder of the file when there is no result.
class TriggerActivityRow : public QWidget {
    Q_OBJECT
public:
    explicit TriggerActivityRow(TriggerActivity* activity, QWidget* parent = nullptr);

    TriggerActivity* activity() const { return m_activity; }
    QString statusText() const;
    QString timeText() const;
    QString errorText() const;
    QString shownName() const;
    // What a click opens: the result, else the folder of the source.
    QUrl target() const;

    // The relative time moves on as time passes; the view calls this now and then.
    void refreshTime();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void refresh();

    QPointer<TriggerActivity> m_activity;
    QLabel* m_icon = nullptr;
    class ElidedLabel;
    ElidedLabel* m_name = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_time = nullptr;
    QLabel* m_error = nullptr;
};

} // namespace kivo
