#pragma once

#include <QString>

struct ca_context;

namespace kivo {

// The desktop sound theme's "complete" event, played through libcanberra (which finds the
// theme's file and the sound server). Playing returns at once; the sound plays on.
class CompletionSound {
public:
    CompletionSound();
    ~CompletionSound();
    CompletionSound(const CompletionSound&) = delete;
    CompletionSound& operator=(const CompletionSound&) = delete;

    // Empty on success, else libcanberra's reason (logged too): no sound server, no theme file…
    QString play();
    int timesPlayed() const { return m_timesPlayed; }

private:
    ca_context* m_context = nullptr;
    int m_timesPlayed = 0;
};

} // namespace kivo
