// The error every reader of a BIDS dataset throws: its message names the file and the problem.
#pragma once

#include <stdexcept>
#include <string>

namespace warpmender {
namespace bids {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace bids
}  // namespace warpmender
