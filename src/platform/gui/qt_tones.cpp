#include "platform/gui/qt_tones.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace nvx {

QByteArray SineTone(uint32_t frequencyHz, uint32_t durationMs, int sampleRate) {
    const std::size_t samples = static_cast<std::size_t>(sampleRate) * durationMs / 1000;
    const std::size_t fade = std::min<std::size_t>(samples / 2, static_cast<std::size_t>(sampleRate) / 200);
    QByteArray pcm(static_cast<qsizetype>(samples * sizeof(int16_t)), '\0');
    auto* out = reinterpret_cast<int16_t*>(pcm.data());
    constexpr double kAmplitude = 0.5 * 32767.0;
    const double step = 2.0 * std::numbers::pi * frequencyHz / sampleRate;
    for (std::size_t i = 0; i < samples; ++i) {
        double gain = 1.0;
        if (i < fade) gain = static_cast<double>(i) / fade;
        if (samples - 1 - i < fade) gain = static_cast<double>(samples - 1 - i) / fade;
        out[i] = static_cast<int16_t>(std::lround(kAmplitude * gain * std::sin(step * i)));
    }
    return pcm;
}

QtToneSink::QtToneSink(QObject* parent) : QObject(parent) {
    format_.setSampleRate(kToneSampleRate);
    format_.setChannelCount(1);
    format_.setSampleFormat(QAudioFormat::Int16);
}

QtToneSink::~QtToneSink() {
    if (sink_) sink_->stop();
}

void QtToneSink::play(uint32_t frequencyHz, uint32_t durationMs) {
    if (!deviceChecked_) {
        // Asked once: on a machine without sound (CI, a server) every tone is dropped.
        deviceChecked_ = true;
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        hasDevice_ = !device.isNull() && device.isFormatSupported(format_);
    }
    // Tones come in pairs; a pair is kept or dropped whole, decided at its first tone.
    if (tonesSeen_++ % 2 == 0) dropPair_ = !hasDevice_ || queuedMs_ >= kToneQueueLimitMs;
    if (dropPair_) return;
    queue_.emplace_back(frequencyHz, durationMs);
    queuedMs_ += durationMs;
    if (!sink_) startNext();
}

void QtToneSink::startNext() {
    if (queue_.empty()) return;
    const auto [frequency, duration] = queue_.front();
    queue_.pop_front();
    queuedMs_ -= duration;

    buffer_ = std::make_unique<QBuffer>();
    buffer_->setData(SineTone(frequency, duration, format_.sampleRate()));
    buffer_->open(QIODevice::ReadOnly);
    sink_ = std::make_unique<QAudioSink>(QMediaDevices::defaultAudioOutput(), format_);
    connect(sink_.get(), &QAudioSink::stateChanged, this, [this](QAudio::State state) {
        // Idle: the buffer has been played out; Stopped: the device gave up.
        if (state == QAudio::IdleState || state == QAudio::StoppedState) finishCurrent();
    });
    sink_->start(buffer_.get());
}

void QtToneSink::finishCurrent() {
    if (!sink_) return;
    // The sink may not be destroyed inside its own signal.
    QAudioSink* done = sink_.release();
    done->disconnect(this);
    done->stop();
    done->deleteLater();
    QBuffer* buffer = buffer_.release();
    connect(done, &QObject::destroyed, buffer, [buffer] { delete buffer; });
    startNext();
}

}  // namespace nvx
