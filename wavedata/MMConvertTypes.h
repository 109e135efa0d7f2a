#pragma once

// Types shared by the format converters of a chain (the ADPCM decoder, the
// ACM and PCM converters) and by the components that set them up.

#include "platform/base/Exception.h"

#include <QFlags>
#include <QObject>

namespace MMConvertTypes {
Q_NAMESPACE

// Sample width a converter produces: (value + 1) * 8 bits.
enum TMMBits { b8Bit, b16Bit };
Q_ENUM_NS(TMMBits)

// cqLow asks for conversions that run in real time; cqHigh also accepts
// slower ones of better quality.
enum TMMConvertQuality { cqHigh, cqLow };
Q_ENUM_NS(TMMConvertQuality)

// Which of its own settings the PCM converter imposes on the source format.
enum TMMRequiredParam { rpBits = 0x1, rpChannels = 0x2, rpSampleRate = 0x4 };
Q_DECLARE_FLAGS(TMMRequiredParams, TMMRequiredParam)
Q_FLAG_NS(TMMRequiredParams)

}  // namespace MMConvertTypes

Q_DECLARE_OPERATORS_FOR_FLAGS(MMConvertTypes::TMMRequiredParams)

using MMConvertTypes::TMMBits;
using MMConvertTypes::TMMConvertQuality;
using MMConvertTypes::TMMRequiredParam;
using MMConvertTypes::TMMRequiredParams;
using enum MMConvertTypes::TMMBits;
using enum MMConvertTypes::TMMConvertQuality;
using enum MMConvertTypes::TMMRequiredParam;

// Errors of the ACM and PCM converters.
class EMMConverterError : public Exception {
public:
    using Exception::Exception;
};
