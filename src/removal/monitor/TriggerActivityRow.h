#pragma once

#include "core/DomainModel.h"

#include <QPointer>
#include <QWidget>

class QLabel;

namespace kivo {

// One row of the Trigger tab's recent activity: the status icon, the file name, the status in
// its colour, how long ago, and the reason of a failure. Redraws when the activity changes.
class TriggerActivityRow : public QWidget {
    Q_OBJECT
public:
    explicit TriggerActivityRow(TriggerActivity* activity, QWidget* parent = nullptr);

    TriggerActivity* activity() const { return m_activity; }
    QString statusText() const;
    QString timeText() const;
    QString errorText() const;

    // The relative time moves on as time passes; the view calls this now and then.
    void refreshTime();

private:
    void refresh();

    QPointer<TriggerActivity> m_activity;
    QLabel* m_icon = nullptr;
    QLabel* m_name = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_time = nullptr;
    QLabel* m_error = nullptr;
};

} // namespace kivo
