#include "common/error.h"

#include <cstring>

namespace kestrune {

const char* error_kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::InvalidData: return "invalid data";
    case ErrorKind::UnexpectedEof: return "unexpected end of file";
    case ErrorKind::Os: return "os error";
    case ErrorKind::InvalidInput: return "invalid input";
    case ErrorKind::Internal: return "internal error";
  }
  return "error";
}

Error os_error(int err) {
  return {ErrorKind::Os, std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"};
}

}  // namespace kestrune
