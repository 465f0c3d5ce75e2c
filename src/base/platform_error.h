#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace sonvale {

// An error as the platform reports it: a domain, an integer code and the text shown to
// the user (the localized description).
class PlatformError : public std::runtime_error {
public:
    PlatformError(std::string domain, std::int64_t code, const std::string& description)
        : std::runtime_error(description), domain_(std::move(domain)), code_(code) {}

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    std::string localizedDescription() const { return what(); }

private:
    std::string domain_;
    std::int64_t code_;
};

}  // namespace sonvale
