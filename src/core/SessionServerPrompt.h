#pragma once

#include "UserPreferences.h"

class QWidget;

namespace kivo {

class AppState;

// Asks before a new preferences record moves the backend away from the signed-in session's
// server ("Changing the server signs you out of <account>"). True when the change may go ahead:
// nobody is signed in, the server stays the same, or the user chose to sign out. The sign-out
// itself happens when the record is assigned (AppState::setUserPreferences).
bool confirmServerChange(QWidget* parent, const AppState& appState, const UserPreferences& next);

} // namespace kivo
