#include "BackgroundRemovalTab.h"

#include "core/AppState.h"

namespace kivo {

BackgroundRemovalTab::BackgroundRemovalTab(AppState& appState, QWidget* parent)
    : QWidget(parent)
    , m_appState(appState)
{
}

} // namespace kivo
