#pragma once

#include <QFile>
#include <QString>

#include <cstdint>

// Writes a call's audio as a WAV file: 8 kHz, 16-bit PCM, two channels (one per direction).
namespace t30 {

class WavRecorder
{
public:
    WavRecorder() = default;
    ~WavRecorder();
    WavRecorder(const WavRecorder &) = delete;
    WavRecorder &operator=(const WavRecorder &) = delete;

    // Creates the file; false with the reason when it cannot.
    bool open(const QString &path, QString *error = nullptr);
    bool isOpen() const { return m_file.isOpen(); }
    // count samples of each channel.
    void write(const int16_t *left, const int16_t *right, int count);
    // Fills in the sizes and closes the file; false when a write failed.
    bool close();
    qint64 frames() const { return m_frames; }
    QString path() const { return m_file.fileName(); }

private:
    QFile m_file;
    qint64 m_frames = 0;
    bool m_failed = false;
};

} // namespace t30
