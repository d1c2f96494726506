// The EXIF values of an image in machine form: what the learned-profile
// store keys on and what the eligibility rule reads. Filled by the image
// loader; all zero and empty when a file carries no EXIF data.
#pragma once

#include <cstdint>
#include <string>

namespace calmora {

struct ExifRecord {
    int32_t isoSpeed = 0; // 0 or less: unknown
    std::string software; // the program that wrote the file, UTF-8
    std::string make;
    std::string model;
    std::string lensModel;
    std::string dateTimeOriginal; // "YYYY:MM:DD HH:MM:SS" as stored
    double exposureTime = 0; // seconds, 0 = unknown
    double fNumber = 0; // 0 = unknown
    double focalLength = 0; // millimetres, 0 = unknown
    int32_t orientation = 0; // 1..8, 0 = unknown
    // The picture's size as decoded, 0 = unknown; the learned-profile store
    // keeps full-size and reduced pictures apart.
    int32_t pictureWidth = 0;
    int32_t pictureHeight = 0;
    // Developed here from the camera's raw data: its noise is not that of
    // the camera's own pictures of the same make, model and ISO speed.
    bool developedFromRaw = false;
};

} // namespace calmora
