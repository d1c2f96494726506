// The noise-profile JSON reader: any text is refused with a reason or read
// into a profile that is within the record's limits, and a profile it
// accepts is written and read back unchanged.

#include "cli/profile_json.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using calmora::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString error;
    const std::optional<calmora::NoiseProfile> profile = calmora::profileFromJsonText(text, &error);
    if (!profile) {
        check(!error.isEmpty(), QStringLiteral("a refusal without a reason"));
        return 0;
    }
    check(profile->bandCount >= 1 && profile->bandCount <= calmora::kProfileBands,
        QStringLiteral("bandCount %1 accepted").arg(profile->bandCount));
    for (int32_t b = 0; b < profile->bandCount; ++b) {
        const calmora::NoiseBand& band = profile->bands[b];
        check(band.pointCount >= 1 && band.pointCount <= calmora::kMaxPoints,
            QStringLiteral("band %1: pointCount %2 accepted").arg(b).arg(band.pointCount));
        for (int32_t p = 0; p < band.pointCount; ++p)
            for (int c = 0; c < calmora::kChannels; ++c)
                check(band.noise[p][c] >= 0 && band.weight[p][c] >= 0,
                    QStringLiteral("band %1, point %2, channel %3: negative value accepted")
                        .arg(b)
                        .arg(p)
                        .arg(c));
    }

    const QByteArray written = calmora::profileToJsonText(*profile);
    QString rereadError;
    const std::optional<calmora::NoiseProfile> reread
        = calmora::profileFromJsonText(written, &rereadError);
    check(reread.has_value(), QStringLiteral("own output refused: ") + rereadError);
    // The record has no padding (1004 bytes of int32 and int16 fields), so the
    // bytes compare every field, unused points included.
    check(std::memcmp(&*reread, &*profile, sizeof(calmora::NoiseProfile)) == 0,
        QStringLiteral("profile changed by writing and reading back"));
    return 0;
}
