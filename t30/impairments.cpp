#include "t30/impairments.h"

#include <algorithm>
#include <cmath>

namespace t30 {

namespace {

// A block counts as signal when its RMS is above this; quieter blocks (idle) stay noiseless.
const double GateRms = LinePath::rmsOfDbm0(-46);

} // namespace

double LinePath::rmsOfDbm0(double dbm0)
{
    // A-law: a full-scale sine (peak 32767) is +3.14 dBm0.
    const double zeroDbm0Rms = 32767.0 / std::sqrt(2.0) / std::pow(10.0, 3.14 / 20.0);
    return zeroDbm0Rms * std::pow(10.0, dbm0 / 20.0);
}

LinePath::LinePath(const Impairments &impairments, quint32 seed)
    : m_gain(std::pow(10.0, -impairments.attenuationDb / 20.0)), m_rng(seed)
{
    if (impairments.snrDb)
        m_noiseRatio = std::pow(10.0, -*impairments.snrDb / 20.0);
}

void LinePath::process(int16_t *samples, int count, int dropFrom, int dropTo)
{
    if (m_gain != 1) {
        for (int i = 0; i < count; ++i)
            samples[i] = int16_t(std::lround(samples[i] * m_gain));
    }
    if (m_noiseRatio) {
        double energy = 0;
        for (int i = 0; i < count; ++i)
            energy += double(samples[i]) * samples[i];
        const double rms = std::sqrt(energy / std::max(count, 1));
        if (rms > GateRms) {
            const float sigma = float(rms * *m_noiseRatio);
            for (int i = 0; i < count; ++i) {
                const float v = samples[i] + sigma * m_normal(m_rng);
                samples[i] = int16_t(std::clamp(std::lround(v), -32768L, 32767L));
            }
        }
    }
    dropFrom = std::clamp(dropFrom, 0, count);
    dropTo = std::clamp(dropTo, dropFrom, count);
    std::fill(samples + dropFrom, samples + dropTo, int16_t(0));
}

} // namespace t30
