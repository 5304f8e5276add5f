#pragma once

#include "DefaultsStore.h"
#include "UserPreferences.h"

#include <QObject>

namespace kivo {

// Loads the preferences once from the per-user defaults and writes them back on request.
// Used from the window's thread only.
class PreferenceManager : public QObject {
    Q_OBJECT
public:
    static constexpr QLatin1StringView preferencesKey{"com.kivopro.userPreferences"};

    explicit PreferenceManager(DefaultsStore& userDefaults, QObject* parent = nullptr);

    // The application's one instance over the standard store, made on first use.
    static PreferenceManager& shared();

    const UserPreferences& preferences() const { return m_preferences; }
    void setPreferences(const UserPreferences& preferences);

    // The stored record, or the defaults when nothing is stored or it does not decode. Safe on
    // any thread: it reads only the defaults store.
    UserPreferences loadPreferences() const;
    void save();

signals:
    void preferencesChanged();

private:
    DefaultsStore& m_userDefaults;
    UserPreferences m_preferences;
};

} // namespace kivo
