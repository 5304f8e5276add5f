#pragma once

#include "ImageHistory.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QUuid>

namespace kivo {

struct DocumentState;

// The steps of an editor document, oldest first. A step is the whole layer stack with its
// properties, the canvas background and the enabled filters; at() gives back exactly what was
// appended.
//
// Each layer keeps its own ImageHistory of the pixel versions it went through: a step that
// leaves a layer's image as it was (the same QImage, or one this history handed out for that
// version) refers to the version already stored, so a stroke costs one new version of one
// layer, and that version shares the unchanged tiles of the previous one. Only the versions
// the current step uses and their neighbours are held as images; of a layer the current step
// lacks, the version the next or else the previous step uses.
//
// A value type like ImageHistory: copies share the stored versions.
class DocumentHistory {
public:
    DocumentHistory();
    ~DocumentHistory();
    DocumentHistory(const DocumentHistory&);
    DocumentHistory& operator=(const DocumentHistory&);

    qsizetype size() const { return m_steps.size(); }
    bool isEmpty() const { return m_steps.isEmpty(); }

    // Appends a step after the first `keep` steps (a redo branch beyond them is dropped); the
    // new step becomes the current one.
    void append(const DocumentState& state, qsizetype keep);
    DocumentState at(qsizetype index) const;
    // Whether every layer image of the step is held as an image.
    bool isResident(qsizetype index) const;
    // Brings every layer image of the step back in the background.
    QFuture<void> restore(qsizetype index) const;
    void setCurrentIndex(qsizetype index);

    // Bytes of compressed tiles over all layers.
    qint64 compressedBytes() const;

    struct Step;
    struct Version {
        QUuid layerId;
        qsizetype index = -1;
    };

private:
    qsizetype versionOf(const QUuid& layerId, const QImage& image);

    QList<std::shared_ptr<const Step>> m_steps;
    QHash<QUuid, ImageHistory> m_layerVersions;
    // The images appended or handed out, by cache key: which version of which layer they are.
    std::shared_ptr<QHash<qint64, Version>> m_knownImages;
};

} // namespace kivo
