#include "PreferenceManager.h"

namespace kivo {

PreferenceManager::PreferenceManager(DefaultsStore& userDefaults, QObject* parent)
    : QObject(parent)
    , m_userDefaults(userDefaults)
    , m_preferences(loadPreferences())
{
}

PreferenceManager& PreferenceManager::shared()
{
    // A function-local static: its creation is safe to race.
    static PreferenceManager instance(DefaultsStore::standard());
    return instance;
}

void PreferenceManager::setPreferences(const UserPreferences& preferences)
{
    if (m_preferences == preferences)
        return;
    m_preferences = preferences;
    emit preferencesChanged();
}

UserPreferences PreferenceManager::loadPreferences() const
{
    if (const auto bytes = m_userDefaults.data(preferencesKey))
        if (auto decoded = UserPreferences::fromJsonBytes(*bytes))
            return *decoded;
    return UserPreferences{};
}

void PreferenceManager::save()
{
    m_userDefaults.setData(preferencesKey, m_preferences.toJsonBytes());
}

} // namespace kivo
