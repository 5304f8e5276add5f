#include "SessionServerPrompt.h"

#include "AppState.h"

#include <QMessageBox>
#include <QPushButton>

namespace kivo {

bool confirmServerChange(QWidget* parent, const AppState& appState, const UserPreferences& next)
{
    if (!appState.wouldSignOut(next))
        return true;
    QMessageBox question(QMessageBox::Warning, QObject::tr("Server"),
                         QObject::tr("Changing the server signs you out of %1").arg(appState.accountLabel()),
                         QMessageBox::NoButton, parent);
    question.setInformativeText(
        QObject::tr("Your API key is only ever sent to the server that issued it (%1).").arg(appState.sessionServer()));
    QPushButton* signOut = question.addButton(QObject::tr("Sign Out"), QMessageBox::DestructiveRole);
    QPushButton* cancel = question.addButton(QObject::tr("Cancel"), QMessageBox::RejectRole);
    question.setDefaultButton(cancel);
    question.exec();
    return question.clickedButton() == signOut;
}

} // namespace kivo
