#pragma once

// Placeholder interface; the capture path replaces this file.
#include <functional>
#include <string>

namespace sonvale {

class FloatRing;

class Capture {
public:
    Capture();
    ~Capture();
    void start(int pipeFd);
    void stop();
    void setGain(float value);
    float gain = 1.0f;
    std::function<void(const std::string&)> onFailure;
    std::function<void(const std::string&)> onFormat;
};

}  // namespace sonvale
