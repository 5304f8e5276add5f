#include "DocumentHistory.h"

#include "DomainModel.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

struct DocumentHistory::Step {
    // The layers with their images left out; `versions` says which version each one shows.
    DocumentState state;
    QList<qsizetype> versions;
};

DocumentHistory::DocumentHistory()
    : m_knownImages(std::make_shared<QHash<qint64, Version>>())
{
}

DocumentHistory::~DocumentHistory() = default;
DocumentHistory::DocumentHistory(const DocumentHistory&) = default;
DocumentHistory& DocumentHistory::operator=(const DocumentHistory&) = default;

qsizetype DocumentHistory::versionOf(const QUuid& layerId, const QImage& image)
{
    ImageHistory& versions = m_layerVersions[layerId];
    const auto known = m_knownImages->constFind(image.cacheKey());
    if (known != m_knownImages->constEnd() && known->layerId == layerId && known->index < versions.size())
        return known->index;
    versions.append(image);
    const qsizetype index = versions.size() - 1;
    m_knownImages->insert(image.cacheKey(), {layerId, index});
    return index;
}

void DocumentHistory::append(const DocumentState& state, qsizetype keep)
{
    if (keep < m_steps.size()) {
        m_steps.resize(std::max<qsizetype>(keep, 0));
        // Versions only the dropped steps used go with them.
        QHash<QUuid, qsizetype> used;
        for (const auto& step : std::as_const(m_steps))
            for (qsizetype i = 0; i < step->state.layers.size(); ++i) {
                qsizetype& count = used[step->state.layers[i].id];
                count = std::max(count, step->versions[i] + 1);
            }
        for (auto it = m_layerVersions.begin(); it != m_layerVersions.end();) {
            const qsizetype count = used.value(it.key(), 0);
            if (count == 0) {
                it = m_layerVersions.erase(it);
                continue;
            }
            it->truncate(count);
            ++it;
        }
    }
    auto step = std::make_shared<Step>();
    step->state = state;
    for (ImageLayer& layer : step->state.layers) {
        step->versions << versionOf(layer.id, layer.image);
        layer.image = QImage();
    }
    m_steps.append(step);
    setCurrentIndex(m_steps.size() - 1);
}

DocumentState DocumentHistory::at(qsizetype index) const
{
    const Step& step = *m_steps.at(index);
    DocumentState state = step.state;
    for (qsizetype i = 0; i < state.layers.size(); ++i) {
        ImageLayer& layer = state.layers[i];
        layer.image = m_layerVersions.value(layer.id).at(step.versions[i]);
        m_knownImages->insert(layer.image.cacheKey(), {layer.id, step.versions[i]});
    }
    return state;
}

bool DocumentHistory::isResident(qsizetype index) const
{
    const Step& step = *m_steps.at(index);
    for (qsizetype i = 0; i < step.state.layers.size(); ++i)
        if (!m_layerVersions.value(step.state.layers[i].id).isResident(step.versions[i]))
            return false;
    return true;
}

QFuture<void> DocumentHistory::restore(qsizetype index) const
{
    QList<QFuture<void>> restoring;
    const Step& step = *m_steps.at(index);
    for (qsizetype i = 0; i < step.state.layers.size(); ++i)
        restoring << m_layerVersions.value(step.state.layers[i].id).restore(step.versions[i]);
    return QtConcurrent::run(QThreadPool::globalInstance(), [restoring] {
        for (QFuture<void> future : restoring)
            future.waitForFinished();
    });
}

void DocumentHistory::setCurrentIndex(qsizetype index)
{
    // The versions the step uses; a layer missing from it keeps at hand the version the next
    // step (a redo) or else the previous one (an undo) uses, and holds none when neither has it.
    QHash<QUuid, qsizetype> wanted;
    for (qsizetype k : {index, index + 1, index - 1}) {
        if (index < 0 || k < 0 || k >= m_steps.size())
            continue;
        const Step& step = *m_steps.at(k);
        for (qsizetype i = 0; i < step.state.layers.size(); ++i)
            if (!wanted.contains(step.state.layers[i].id))
                wanted.insert(step.state.layers[i].id, step.versions[i]);
    }
    for (auto it = m_layerVersions.begin(); it != m_layerVersions.end(); ++it)
        it->setCurrentIndex(wanted.value(it.key(), -1));
}

qint64 DocumentHistory::compressedBytes() const
{
    qint64 total = 0;
    for (const ImageHistory& versions : m_layerVersions)
        total += versions.compressedBytes();
    return total;
}

} // namespace kivo
