#include "platform/AudioCapture.h"

namespace zorvel {

SampleType deliveredSampleType(SampleFormat deviceFormat) {
    switch (deviceFormat) {
    case SampleFormat::float32:
        return SampleType::float32;
    case SampleFormat::int16:
    case SampleFormat::uint8:
        return SampleType::int16;
    case SampleFormat::int24:
    case SampleFormat::int32:
        return SampleType::int32;
    }
    return SampleType::float32;
}

int bytesPerSample(SampleType type) { return type == SampleType::int16 ? 2 : 4; }

} // namespace zorvel
