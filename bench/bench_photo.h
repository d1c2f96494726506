// A generated 20-megapixel photo-like image with sensor noise, shared by the
// benchmarks that need a whole photograph: soft gradients, hard-edged discs
// and fine texture under signal-dependent noise, R, G, B at 16 bits whose
// low byte is noise too, as a raw converter's output has.
#pragma once

#include "document/document_prompter.h"
#include "document/image_encoders.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <vector>

namespace calmora::bench {

// 5472 x 3648: a 20-megapixel 3:2 sensor.
constexpr int32_t kWidth = 5472;
constexpr int32_t kHeight = 3648;

// Rows top-down, R, G, B per pixel; made once, the same on every run.
const std::vector<uint16_t>& photo();

// The photo as encoder rows at 8 (rounded) or 16 bits per channel.
EncodeRequest photoRequest(int bits);

// The photo as a picture: RGB888 at 8 bits, RGBX64 at 16.
QImage photoImage(int bits);

// The photo as a JPEG (quality 92) in a temporary folder, written once per
// process, for the benchmarks that open it through the document.
QString photoFile();

// Answers nothing: a benchmark never asks the user.
struct SilentPrompter final : DocumentPrompter {
    PromptAnswer ask(const QString&, PromptIcon, PromptButtons) override
    {
        return PromptAnswer::No;
    }
    void tell(const QString&, PromptIcon) override { }
    QString askSavePath(const QString&) override { return {}; }
    bool runWholeImage(CTessolinDoc& document) override;
};

} // namespace calmora::bench
