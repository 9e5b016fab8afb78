// The exception the host side (workstation, formats, synthetic data, command) raises, with a message meant for the user.
#pragma once

#include <stdexcept>
#include <string>

namespace warpmender {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace warpmender
