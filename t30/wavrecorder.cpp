#include "t30/wavrecorder.h"

#include <QtEndian>

#include <vector>

namespace t30 {

namespace {

constexpr int Channels = 2;
constexpr int Rate = 8000;
constexpr int HeaderSize = 44;

QByteArray header(qint64 frames)
{
    const quint32 dataBytes = quint32(frames * Channels * 2);
    QByteArray h(HeaderSize, '\0');
    char *p = h.data();
    memcpy(p, "RIFF", 4);
    qToLittleEndian<quint32>(36 + dataBytes, p + 4);
    memcpy(p + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, p + 16);
    qToLittleEndian<quint16>(1, p + 20); // PCM
    qToLittleEndian<quint16>(Channels, p + 22);
    qToLittleEndian<quint32>(Rate, p + 24);
    qToLittleEndian<quint32>(Rate * Channels * 2, p + 28);
    qToLittleEndian<quint16>(Channels * 2, p + 32);
    qToLittleEndian<quint16>(16, p + 34);
    memcpy(p + 36, "data", 4);
    qToLittleEndian<quint32>(dataBytes, p + 40);
    return h;
}

} // namespace

WavRecorder::~WavRecorder()
{
    close();
}

bool WavRecorder::open(const QString &path, QString *error)
{
    close();
    m_file.setFileName(path);
    m_frames = 0;
    m_failed = false;
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || m_file.write(header(0)) != HeaderSize) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, m_file.errorString());
        m_file.close();
        return false;
    }
    return true;
}

void WavRecorder::write(const int16_t *left, const int16_t *right, int count)
{
    if (!m_file.isOpen() || m_failed)
        return;
    thread_local std::vector<char> buffer;
    buffer.resize(size_t(count) * Channels * 2);
    char *p = buffer.data();
    for (int i = 0; i < count; ++i) {
        qToLittleEndian<qint16>(left[i], p);
        qToLittleEndian<qint16>(right[i], p + 2);
        p += 4;
    }
    if (m_file.write(buffer.data(), qint64(buffer.size())) != qint64(buffer.size()))
        m_failed = true;
    else
        m_frames += count;
}

bool WavRecorder::close()
{
    if (!m_file.isOpen())
        return !m_failed;
    if (m_file.seek(0))
        m_failed = m_file.write(header(m_frames)) != HeaderSize || m_failed;
    else
        m_failed = true;
    m_file.close();
    return !m_failed;
}

} // namespace t30
