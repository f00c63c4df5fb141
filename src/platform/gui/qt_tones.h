#pragma once
// Tones through Qt Multimedia: each tone is a short sine buffer played through QAudioSink. Tones
// play one after the other in the order given, without blocking the thread; without an audio
// output device they are dropped silently.

#include <QAudioFormat>
#include <QByteArray>
#include <QObject>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

#include "platform/user_dialogs.h"

class QAudioSink;
class QBuffer;

namespace nvx {

constexpr int kToneSampleRate = 22050;
// Tones queued beyond this much playing time are dropped (a burst of log lines must not keep the
// speaker busy for minutes); a pair that was begun is always finished.
constexpr uint32_t kToneQueueLimitMs = 2000;

// Mono signed 16-bit samples of a sine, with a few milliseconds of fade at both ends so the tone
// starts and stops without a click.
QByteArray SineTone(uint32_t frequencyHz, uint32_t durationMs, int sampleRate = kToneSampleRate);

class QtToneSink : public QObject, public ToneSink {
    Q_OBJECT
public:
    explicit QtToneSink(QObject* parent = nullptr);
    ~QtToneSink() override;

    void play(uint32_t frequencyHz, uint32_t durationMs) override;

    // Tones waiting, the one playing not counted.
    std::size_t queued() const { return queue_.size(); }
    bool playing() const { return sink_ != nullptr; }

private:
    void startNext();
    void finishCurrent();

    QAudioFormat format_;
    std::deque<std::pair<uint32_t, uint32_t>> queue_;
    uint32_t queuedMs_ = 0;
    std::size_t tonesSeen_ = 0;
    bool dropPair_ = false;
    std::unique_ptr<QAudioSink> sink_;
    std::unique_ptr<QBuffer> buffer_;
    bool deviceChecked_ = false;
    bool hasDevice_ = false;
};

}  // namespace nvx
