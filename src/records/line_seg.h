#pragma once
#include <cstdint>
#include <string>

namespace talmek {

// One displacement vector: both end points in map units, with the match's quality figures.
struct LineSeg {
    double length = 0.0;
    float strength = 0.0f;
    float displacement = 0.0f;
    float rms_1 = 0.0f;
    float rms_2 = 0.0f;
    double x1 = 0.0;
    double y1 = 0.0;
    double x2 = 0.0;
    double y2 = 0.0;
    std::int32_t active = 0;

    void set_coors(double x1_, double y1_, double x2_, double y2_);
    double get_length() const { return length; }
};

// Text shown by repr() and str(): every real with six decimals, as printf's "%f" writes it.
std::string describe(const LineSeg& seg);

}  // namespace talmek
