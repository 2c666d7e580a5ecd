#pragma once

#include <QList>
#include <QtGlobal>

#include <cstdint>
#include <optional>
#include <random>

// What a simulated line does to the audio of one direction: attenuation, noise at a
// signal-to-noise ratio and drop-outs.
namespace t30 {

// Samples per millisecond at 8 kHz.
inline constexpr int SamplesPerMs = 8;

// What a drop-out's offset counts from.
enum class DropoutAnchor : quint8 {
    CallStart,
    // The start of page `index` (from 1): when the transmitter receives the CFR or MCF after
    // which it sends that page.
    Page,
    // Training `index` (from 1): when the receiver has received the transmitter's n-th DCS,
    // after which the training and TCF follow.
    Training,
};

struct Dropout
{
    DropoutAnchor anchor = DropoutAnchor::Page;
    int index = 1;
    int offsetMs = 0;
    int lengthMs = 30;

    bool operator==(const Dropout &) const = default;
};

struct Impairments
{
    double attenuationDb = 0;
    // Noise this many dB below the signal, added only while the far side transmits: a constant
    // floor above the receivers' carrier-detect threshold (about -45.5 dBm0) would keep their
    // carrier detectors on, so the line stays silent (below -46 dBm0) between signals.
    std::optional<double> snrDb;
    QList<Dropout> dropouts; // on the sender's (image) direction
    quint32 seed = 1;

    bool any() const { return attenuationDb != 0 || snrDb || !dropouts.isEmpty(); }
    bool operator==(const Impairments &) const = default;
};

// Applies attenuation and gated noise to blocks of linear samples of one direction, and
// silences the samples of a drop-out.
class LinePath
{
public:
    explicit LinePath(const Impairments &impairments, quint32 seed);

    // Processes a block in place. The samples from dropFrom (inclusive) to dropTo (exclusive),
    // counted within the block, are lost.
    void process(int16_t *samples, int count, int dropFrom = 0, int dropTo = 0);

    // RMS of a full-scale-referenced level, for the gate: -46 dBm0 for A-law.
    static double rmsOfDbm0(double dbm0);

private:
    double m_gain = 1;
    std::optional<double> m_noiseRatio; // noise RMS per signal RMS
    std::mt19937 m_rng;
    std::normal_distribution<float> m_normal{0.0f, 1.0f};
};

} // namespace t30
