#include "records/line_seg.h"

#include <cmath>
#include <cstdio>

namespace talmek {

void LineSeg::set_coors(double x1_, double y1_, double x2_, double y2_) {
    x1 = x1_;
    y1 = y1_;
    x2 = x2_;
    y2 = y2_;
    const double dx = x1 - x2;
    const double dy = y1 - y2;
    length = std::sqrt(dy * dy + dx * dx);
}

namespace {

void append_real(std::string& text, const char* label, double value) {
    text += label;
    // "%f" of the largest double needs about 320 characters.
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%f", value);
    text += buffer;
}

}  // namespace

std::string describe(const LineSeg& seg) {
    std::string text;
    append_real(text, "<LineSeg x1: ", seg.x1);
    append_real(text, ", y1: ", seg.y1);
    append_real(text, ", x2: ", seg.x2);
    append_real(text, ", y2: ", seg.y2);
    append_real(text, ", length: ", seg.length);
    append_real(text, ", strength: ", seg.strength);
    append_real(text, ", displacement: ", seg.displacement);
    append_real(text, ", rms_1: ", seg.rms_1);
    append_real(text, ", rms_2: ", seg.rms_2);
    text += ", active: ";
    text += std::to_string(seg.active);
    text += ">";
    return text;
}

}  // namespace talmek
