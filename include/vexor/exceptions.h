// The exceptions a failing operation raises towards the host: a result code and the
// detailed Windows-1251 message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace CryptoOperations {

class baseCryptoException : public std::runtime_error {
 public:
  baseCryptoException(int32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
  int32_t code() const noexcept { return code_; }

 private:
  int32_t code_;
};

// What the failure reports raise.
class SystemException : public baseCryptoException {
 public:
  using baseCryptoException::baseCryptoException;
};

}  // namespace CryptoOperations
